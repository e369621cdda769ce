# ONNX Runtime as fetched by scripts/bootstrap: an imported shared library found at run time by RUNPATH.
set(_ort_header "${TARNIVALE_ORT_ROOT}/include/onnxruntime_c_api.h")
set(_ort_library "${TARNIVALE_ORT_ROOT}/lib/libonnxruntime.so.1")
if(NOT EXISTS "${_ort_header}" OR NOT EXISTS "${_ort_library}")
    message(FATAL_ERROR "ONNX Runtime not found in ${TARNIVALE_ORT_ROOT}; run scripts/bootstrap first")
endif()
add_library(onnxruntime::onnxruntime SHARED IMPORTED)
set_target_properties(onnxruntime::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${_ort_library}"
    IMPORTED_SONAME "libonnxruntime.so.1"
    INTERFACE_INCLUDE_DIRECTORIES "${TARNIVALE_ORT_ROOT}/include")
set(TARNIVALE_ORT_LIBRARY_DIR "${TARNIVALE_ORT_ROOT}/lib")
