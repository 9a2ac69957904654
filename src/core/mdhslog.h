// SPDX-License-Identifier: GPL-3.0-or-later
// The plug-in's log stream: text collects in memory and reaches the host log, one entry
// per flush. Also builds the exceptions of failed internal checks.
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>

class MDHSLog : public std::ostream {
public:
    using LogFunction = void (*)(const char* text);

    class MDHSBuf : public std::stringbuf {
    public:
        explicit MDHSBuf(LogFunction function);
        ~MDHSBuf() override;

    protected:
        int sync() override;

    private:
        LogFunction logFunction;
    };

    explicit MDHSLog(LogFunction function);
    ~MDHSLog() override;

    MDHSLog(const MDHSLog&) = delete;
    MDHSLog& operator=(const MDHSLog&) = delete;

private:
    MDHSBuf* buffer;
};

// "assertion failure (<sourcePath>:<line>): <condition>" as a logic error.
std::logic_error makeAssertionError(const std::string& sourcePath, int line, const std::string& condition);

// Throws makeAssertionError(sourcePath, line, condition) unless holds is true. The line
// is the fixed number that belongs to the check.
inline void check(bool holds, const char* sourcePath, int line, const char* condition)
{
    if (!holds) throw makeAssertionError(sourcePath, line, condition);
}
