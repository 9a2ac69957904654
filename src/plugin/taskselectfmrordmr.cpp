#include <stdexcept>

#include "plugin/tasks.h"

// This build does not carry the "select_fmr_or_dmr" step yet; the dialog gets a clear error for it.
void taskSelectFmrOrDmr()
{
    throw std::logic_error("task \"select_fmr_or_dmr\" is not available in this build");
}
