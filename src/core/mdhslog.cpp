// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/mdhslog.h"

MDHSLog::MDHSBuf::MDHSBuf(LogFunction function)
    : std::stringbuf(std::ios_base::in | std::ios_base::out), logFunction(function)
{
}

MDHSLog::MDHSBuf::~MDHSBuf()
{
    sync();
}

int MDHSLog::MDHSBuf::sync()
{
    const std::string text = str();
    logFunction(text.c_str());
    str(std::string());
    return 0;
}

MDHSLog::MDHSLog(LogFunction function) : std::ostream(nullptr), buffer(new MDHSBuf(function))
{
    rdbuf(buffer);
}

MDHSLog::~MDHSLog()
{
    rdbuf(nullptr);
    delete buffer;
}

std::logic_error makeAssertionError(const std::string& sourcePath, int line, const std::string& condition)
{
    std::ostringstream message;
    message << "assertion failure (" << sourcePath << ":" << line << "): " << condition;
    return std::logic_error(message.str());
}
