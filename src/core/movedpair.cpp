// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/movedpair.h"

RigidTransform composed(const RigidTransform& outer, const RigidTransform& inner)
{
    RigidTransform result;
    for (int i = 0; i < 3; ++i) {
        result.translation[i] = outer.translation[i];
        for (int j = 0; j < 3; ++j) {
            result.translation[i] += outer.rotation[i][j] * inner.translation[j];
            double sum = 0.0;
            for (int k = 0; k < 3; ++k) sum += outer.rotation[i][k] * inner.rotation[k][j];
            result.rotation[i][j] = sum;
        }
    }
    return result;
}

bool isIdentity(const RigidTransform& transform)
{
    const RigidTransform identity;
    return transform.rotation == identity.rotation && transform.translation == identity.translation;
}

Volume minusInPlusFrame(const Volume& minus, const std::array<double, 3>& voxelSize, const CopyPositions& positions)
{
    const RigidTransform minusFromPlus = composed(positions.minus, inverse(positions.plus));
    return isIdentity(minusFromPlus) ? minus : resampledRigidly(splineVolume(minus), voxelSize, minusFromPlus);
}

Volume mapAtHeadPosition(const Volume& vdm, const std::array<double, 3>& voxelSize, const RigidTransform& position)
{
    return isIdentity(position) ? vdm : resampledRigidlyWithinSlices(splineVolume(vdm), voxelSize, inverse(position));
}

Volume mapInPlusFrame(const Volume& vdm, const std::array<double, 3>& voxelSize, const CopyPositions& positions)
{
    return mapAtHeadPosition(vdm, voxelSize, positions.plus);
}
