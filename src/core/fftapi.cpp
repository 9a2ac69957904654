#include "core/fftapi.h"

FftApi fftApi;
