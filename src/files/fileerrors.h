// SPDX-License-Identifier: GPL-3.0-or-later
// Errors of the project files. Each carries only its message; callers show what().
#pragma once

#include <stdexcept>

// Base of every file error; never raised by itself.
class IOError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file cannot be opened for reading.
class OpenFileError : public IOError {
public:
    using IOError::IOError;
};

// Bytes cannot be read, or the data has a format that is not supported.
class ReadFileError : public IOError {
public:
    using IOError::IOError;
};

// A file cannot be created, opened for writing or written.
class WriteFileError : public IOError {
public:
    using IOError::IOError;
};
