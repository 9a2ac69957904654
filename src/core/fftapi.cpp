#include "fftapi.h"

FftApi fftApi;
