# Small ONNX models for tests and benchmarks, generated with Debian's python3-onnx into the build tree.
set(TARNIVALE_PYTHON /usr/bin/python3 CACHE FILEPATH "Python interpreter that has the onnx module")
set(TARNIVALE_TEST_MODEL_DIR "${CMAKE_BINARY_DIR}/test-models")
set(_models_script "${PROJECT_SOURCE_DIR}/tests/fixtures/make_models.py")
add_custom_command(
    OUTPUT "${TARNIVALE_TEST_MODEL_DIR}/.stamp"
    COMMAND "${TARNIVALE_PYTHON}" "${_models_script}" "${TARNIVALE_TEST_MODEL_DIR}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${TARNIVALE_TEST_MODEL_DIR}/.stamp"
    DEPENDS "${_models_script}"
    COMMENT "Generating test ONNX models"
    VERBATIM)
add_custom_target(tarnivale_test_models ALL DEPENDS "${TARNIVALE_TEST_MODEL_DIR}/.stamp")
