// SPDX-License-Identifier: GPL-3.0-or-later
#include "sdk/mdhsplugininterface.h"

MDHSPluginInterface::MDHSPluginInterface() = default;

MDHSPluginInterface::MDHSPluginInterface(const MDHSPluginInterface&) = default;

MDHSPluginInterface& MDHSPluginInterface::operator=(const MDHSPluginInterface&)
{
    return *this;
}

MDHSPluginInterface::~MDHSPluginInterface() = default;
