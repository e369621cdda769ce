#pragma once

// The three ways a command ends early, each with its exit code: a usage error (2), a failure reported by
// the library or the system (1), an interruption by the user (130).

#include <stdexcept>
#include <string>

namespace Tarnivale::Cli {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitInterrupted = 130;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("Interrupted.") {}
};

}  // namespace Tarnivale::Cli
