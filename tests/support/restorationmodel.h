// SPDX-License-Identifier: GPL-3.0-or-later
// The model of the least-squares restoration written out densely for the tests: the
// undistortion of every line as a matrix measured from its impulse responses, and the
// copies acquired through its transpose.
#pragma once

#include <vector>

#include "core/volume.h"

using Matrix2 = std::vector<std::vector<double>>;

Matrix2 zeros(int n);

// The undistortion of every line as a dense matrix, S[line][y][j] (line = z * nx + x): the
// corrected value at row y when the copy holds 1 at row j, measured with the undistortion
// itself.
std::vector<Matrix2> undistortionMatrices(const Volume& vdm, bool reversed);

// The copy that a direction acquires of f under the model: S^T f, line by line (reversed:
// the minus direction).
Volume acquiredCopy(const Volume& f, const Volume& vdm, bool reversed);
