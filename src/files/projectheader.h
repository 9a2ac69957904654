// SPDX-License-Identifier: GPL-3.0-or-later
// FMR and DMR project headers: the records, the text reader and writer, and (in
// voxeldata.cpp) the voxel data that a record owns.
//
// A header is a text of "Key: value" entries. Every key is kept in a field that
// remembers the key name as read, the column at which its value began (the key's width
// on writing) and whether it was present; a field that was not read is not written.
// Writing reproduces the present keys in a fixed order with CR LF line ends.
//
// Typical use:
//   FmrHeader run = readFmrHeader("/data/run1.fmr", true);   // header and STC data
//   int n = run.NrOfVolumes.value;                             // run.volumes.size() == n
//   run.volumes[0] = corrected;
//   run.saveAs("/data/run1_undist.fmr");                       // header + run1_undist.stc
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "core/volume.h"

// An integer, float or bool key (bool also for the "YES"/"NO" keys).
template <class T>
struct HeaderField {
    std::string name;      // key without its colon, as read; written back as is
    T value{};
    int valueColumn = 0;   // column where the value began; the key's width on writing
    bool present = false;
};

using IntField = HeaderField<std::int32_t>;
using FloatField = HeaderField<float>;
using BoolField = HeaderField<bool>;

struct HeaderTextField {
    std::string name;
    std::string value;
    int valueColumn = 0;
    bool quoted = false;   // written back between double quotes
    bool present = false;
};

// The part that both header kinds share, and the voxel data.
struct ProjectHeader {
    std::string fileName;

    IntField FileVersion{{}, -1, 0, false};
    IntField NrOfVolumes;
    IntField NrOfSlices;
    IntField NrOfSkippedVolumes;
    HeaderTextField Prefix;
    IntField DataStorageFormat;
    IntField DataType;   // 2: float32 voxels; anything else: int16
    IntField TR;
    IntField InterSliceTime;
    BoolField TimeResolutionVerified;
    IntField TE;
    IntField SliceAcquisitionOrder;
    BoolField SliceAcquisitionOrderVerified;
    IntField ResolutionX;   // columns; read from "ResolutionX:" or "NrOfColumns:"
    IntField ResolutionY;   // rows; read from "ResolutionY:" or "NrOfRows:"
    IntField NrOfColumns;   // read only; copied into ResolutionX
    IntField NrOfRows;      // read only; copied into ResolutionY
    HeaderTextField LoadAMRFile;
    BoolField ShowAMRFile;
    IntField ImageIndex;
    IntField LayoutNColumns;
    IntField LayoutNRows;
    IntField LayoutZoomLevel;
    IntField SegmentSize;
    IntField SegmentOffset;
    HeaderTextField ProtocolFile;
    FloatField InplaneResolutionX;
    FloatField InplaneResolutionY;
    FloatField SliceThickness;
    FloatField SliceGap;
    BoolField VoxelResolutionVerified;

    // The block after the word "PositionInformationFromImageHeaders".
    BoolField PosInfosVerified;
    IntField CoordinateSystem;
    FloatField Slice1CenterX;
    FloatField Slice1CenterY;
    FloatField Slice1CenterZ;
    FloatField SliceNCenterX;
    FloatField SliceNCenterY;
    FloatField SliceNCenterZ;
    FloatField RowDirX;
    FloatField RowDirY;
    FloatField RowDirZ;
    FloatField ColDirX;
    FloatField ColDirY;
    FloatField ColDirZ;
    IntField NRows;
    IntField NCols;
    FloatField FoVRows;
    FloatField FoVCols;
    FloatField BlockSliceThickness;   // "SliceThickness:" inside the block
    FloatField GapThickness;

    IntField NrOfPastSpatialTransformations;
    HeaderTextField LeftRightConvention;
    HeaderTextField FirstDataSourceFile;

    // One Volume per time point or diffusion volume; empty unless the data were loaded.
    std::vector<Volume> volumes;

    // Path of the data file: the header's directory, the Prefix value and extension.
    std::string dataFilePath(const std::string& extension) const;
};

struct FmrHeader : ProjectHeader {
    IntField NrOfLinkedProtocols;
    // Only the first past transformation is held.
    HeaderTextField NameOfSpatialTransformation;
    IntField TypeOfSpatialTransformation;
    HeaderTextField AppliedToFileName;
    IntField NrOfTransformationValues;
    std::vector<float> transformationValues;   // file order; a 4 x 4 matrix row by row
    IntField MultibandSequence;
    IntField SliceTimingTableSize;
    std::vector<float> sliceTimingTable;
    // Cleared when an AcqusitionTime that rounds to 0 (or "NA") was read.
    bool acquisitionTimeAvailable = true;
    FloatField AcqusitionTime;   // the key is spelled so in the files

    // Resets the record and parses fileName; with loadData also loadVoxelData().
    // Throws OpenFileError "Failed opening for reading: <fileName>". A parse that stops
    // at a value that does not parse keeps what was read before; it is not an error.
    void readHeader(const std::string& fileName, bool loadData);
    // Resets the record and parses the header text of a file to be named fileName.
    void readHeaderText(std::istream& in, const std::string& fileName);
    // The header text, CR LF line ends, onto a stream opened in binary mode.
    void writeHeaderText(std::ostream& out) const;
    // Replaces volumes with the STC file's contents (slice-major; int16 or float32).
    void loadVoxelData();
    // Writes the header under fileName and, when volumes is not empty, the STC file;
    // NrOfVolumes becomes volumes.size() first.
    void writeWithData();
    // Loads the data if not yet loaded, renames the record (file name and Prefix) and
    // writes header and data under the new name.
    void saveAs(const std::string& newName);
};

struct DmrHeader : ProjectHeader {
    IntField DisplayVolume;
    BoolField GradientDirectionsVerified;   // "YES"/"NO"
    IntField GradientXDirInterpretation;
    IntField GradientYDirInterpretation;
    IntField GradientZDirInterpretation;
    BoolField GradientInformationAvailable;   // "YES"/"NO"
    std::vector<Point3> gradientDirections;   // one per volume, file order
    std::vector<float> bValues;               // same length

    void readHeader(const std::string& fileName, bool loadData);
    void readHeaderText(std::istream& in, const std::string& fileName);
    void writeHeaderText(std::ostream& out) const;
    // Replaces volumes with the DWI file's contents (volume-major, DataStorageFormat 3
    // only; int16 or float32).
    void loadVoxelData();
    // As FmrHeader; the DWI file is always written volume-major.
    void writeWithData();
    void saveAs(const std::string& newName);
};

FmrHeader readFmrHeader(const std::string& fileName, bool loadData);
DmrHeader readDmrHeader(const std::string& fileName, bool loadData);
