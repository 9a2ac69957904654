// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/fftapi.h"

FftApi fftApi;
