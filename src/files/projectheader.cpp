// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/projectheader.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <istream>
#include <ostream>
#include <variant>

#include "files/fileerrors.h"
#include "files/filenames.h"

namespace {

// ------------------------------------------------------------------ reading

struct YesNo {
    BoolField* field;
};
using Slot = std::variant<IntField*, FloatField*, BoolField*, YesNo, HeaderTextField*>;

struct Key {
    std::string word;   // with its colon
    Slot slot;
};

using KeyList = std::vector<Key>;

const Key* findKey(const KeyList& keys, const std::string& word)
{
    for (const Key& key : keys)
        if (key.word == word) return &key;
    return nullptr;
}

// Takes the key name from the word and counts the spaces and tabs before the value.
template <class Field>
void beginValue(std::istream& in, const std::string& word, Field& field)
{
    field.name = word.substr(0, word.size() - 1);
    field.valueColumn = static_cast<int>(word.size());
    for (int c = in.peek(); c == ' ' || c == '\t'; c = in.peek()) {
        in.get();
        ++field.valueColumn;
    }
}

// A failed extraction leaves the value as it was; the field counts as present anyway.
template <class T>
void readScalar(std::istream& in, const std::string& word, HeaderField<T>& field)
{
    beginValue(in, word, field);
    T value{};
    if (in >> value) field.value = value;
    field.present = true;
}

void readYesNo(std::istream& in, const std::string& word, BoolField& field)
{
    beginValue(in, word, field);
    const int c = in.peek();
    field.value = !(c == 'N' || c == 'n');
    std::string rest;
    std::getline(in, rest);
    field.present = true;
}

void readText(std::istream& in, const std::string& word, HeaderTextField& field)
{
    beginValue(in, word, field);
    std::string rest;
    std::getline(in, rest);
    rest.erase(rest.find_last_not_of(" \t\n\v\f\r") + 1);
    const std::size_t first = rest.find('"');
    if (first == std::string::npos) {
        field.value = rest;
        field.quoted = false;
    } else {
        const std::size_t last = rest.rfind('"');
        field.value = last == first ? rest.substr(first + 1) : rest.substr(first + 1, last - first - 1);
        field.quoted = true;
    }
    field.present = true;
}

void readKey(std::istream& in, const Key& key)
{
    std::visit(
        [&](auto target) {
            using Target = decltype(target);
            if constexpr (std::is_same_v<Target, YesNo>)
                readYesNo(in, key.word, *target.field);
            else if constexpr (std::is_same_v<Target, HeaderTextField*>)
                readText(in, key.word, *target);
            else
                readScalar(in, key.word, *target);
        },
        key.slot);
}

// Reads up to count floats; stops early when the stream fails.
void readFloats(std::istream& in, std::int32_t count, std::vector<float>& values)
{
    values.clear();
    for (std::int32_t i = 0; i < count; ++i) {
        float value = 0.0f;
        if (!(in >> value)) return;
        values.push_back(value);
    }
}

bool nextWord(std::istream& in, std::string& word)
{
    return in.good() && static_cast<bool>(in >> word);
}

// Binary mode: the words are the file's bytes on every system (a text-mode stream on
// Windows would end the header at a stray Ctrl-Z byte); CR LF is white space anyway.
std::ifstream openHeader(const std::string& fileName)
{
    std::ifstream in;
    std::error_code ignored;
    if (!std::filesystem::is_directory(fileName, ignored)) in.open(fileName, std::ios::binary);
    if (!in.is_open()) throw OpenFileError("Failed opening for reading: " + fileName);
    return in;
}

// Keys outside the position block that both kinds share; slot 27 is the kind's own.
KeyList commonKeys(ProjectHeader& h, IntField& kindField, const std::string& kindKey)
{
    return {
        {"FileVersion:", &h.FileVersion},
        {"NrOfVolumes:", &h.NrOfVolumes},
        {"NrOfSlices:", &h.NrOfSlices},
        {"NrOfSkippedVolumes:", &h.NrOfSkippedVolumes},
        {"Prefix:", &h.Prefix},
        {"DataStorageFormat:", &h.DataStorageFormat},
        {"DataType:", &h.DataType},
        {"TR:", &h.TR},
        {"InterSliceTime:", &h.InterSliceTime},
        {"TimeResolutionVerified:", &h.TimeResolutionVerified},
        {"TE:", &h.TE},
        {"SliceAcquisitionOrder:", &h.SliceAcquisitionOrder},
        {"SliceAcquisitionOrderVerified:", &h.SliceAcquisitionOrderVerified},
        {"ResolutionX:", &h.ResolutionX},
        {"ResolutionY:", &h.ResolutionY},
        {"NrOfColumns:", &h.NrOfColumns},
        {"NrOfRows:", &h.NrOfRows},
        {"LoadAMRFile:", &h.LoadAMRFile},
        {"ShowAMRFile:", &h.ShowAMRFile},
        {"ImageIndex:", &h.ImageIndex},
        {"LayoutNColumns:", &h.LayoutNColumns},
        {"LayoutNRows:", &h.LayoutNRows},
        {"LayoutZoomLevel:", &h.LayoutZoomLevel},
        {"SegmentSize:", &h.SegmentSize},
        {"SegmentOffset:", &h.SegmentOffset},
        {kindKey, &kindField},
        {"ProtocolFile:", &h.ProtocolFile},
        {"InplaneResolutionX:", &h.InplaneResolutionX},
        {"InplaneResolutionY:", &h.InplaneResolutionY},
        {"SliceThickness:", &h.SliceThickness},
        {"SliceGap:", &h.SliceGap},
        {"VoxelResolutionVerified:", &h.VoxelResolutionVerified},
        {"NrOfPastSpatialTransformations:", &h.NrOfPastSpatialTransformations},
        {"LeftRightConvention:", &h.LeftRightConvention},
        {"FirstDataSourceFile:", &h.FirstDataSourceFile},
    };
}

KeyList positionBlockKeys(ProjectHeader& h)
{
    return {
        {"PosInfosVerified:", &h.PosInfosVerified},
        {"CoordinateSystem:", &h.CoordinateSystem},
        {"Slice1CenterX:", &h.Slice1CenterX},
        {"Slice1CenterY:", &h.Slice1CenterY},
        {"Slice1CenterZ:", &h.Slice1CenterZ},
        {"SliceNCenterX:", &h.SliceNCenterX},
        {"SliceNCenterY:", &h.SliceNCenterY},
        {"SliceNCenterZ:", &h.SliceNCenterZ},
        {"RowDirX:", &h.RowDirX},
        {"RowDirY:", &h.RowDirY},
        {"RowDirZ:", &h.RowDirZ},
        {"ColDirX:", &h.ColDirX},
        {"ColDirY:", &h.ColDirY},
        {"ColDirZ:", &h.ColDirZ},
        {"NRows:", &h.NRows},
        {"NCols:", &h.NCols},
        {"FoVRows:", &h.FoVRows},
        {"FoVCols:", &h.FoVCols},
        {"SliceThickness:", &h.BlockSliceThickness},
        {"GapThickness:", &h.GapThickness},
    };
}

// Inside the block only block keys count, up to and including "GapThickness:".
void readPositionBlock(std::istream& in, ProjectHeader& h)
{
    const KeyList keys = positionBlockKeys(h);
    std::string word;
    while (nextWord(in, word)) {
        const Key* key = findKey(keys, word);
        if (key == nullptr) continue;
        readKey(in, *key);
        if (word == "GapThickness:") return;
    }
}

// Handles a word of the shared part; false when the word is none of its keys.
bool readCommonWord(std::istream& in, const std::string& word, const KeyList& keys, ProjectHeader& h)
{
    if (word == "PositionInformationFromImageHeaders") {
        if (in.good()) readPositionBlock(in, h);
        return true;
    }
    const Key* key = findKey(keys, word);
    if (key == nullptr) return false;
    readKey(in, *key);
    if (word == "NrOfColumns:") h.ResolutionX = h.NrOfColumns;
    if (word == "NrOfRows:") h.ResolutionY = h.NrOfRows;
    return true;
}

// The first past transformation. The sub-parse ends once its value count has been read,
// whatever the count, so that a count of 0 does not swallow the rest of the header.
void readPastTransformation(std::istream& in, FmrHeader& h)
{
    const KeyList keys = {
        {"NameOfSpatialTransformation:", &h.NameOfSpatialTransformation},
        {"TypeOfSpatialTransformation:", &h.TypeOfSpatialTransformation},
        {"AppliedToFileName:", &h.AppliedToFileName},
        {"NrOfTransformationValues:", &h.NrOfTransformationValues},
    };
    std::string word;
    while (nextWord(in, word)) {
        const Key* key = findKey(keys, word);
        if (key == nullptr) continue;
        readKey(in, *key);
        if (word == "NrOfTransformationValues:") {
            if (h.NrOfTransformationValues.value > 0)
                readFloats(in, h.NrOfTransformationValues.value, h.transformationValues);
            return;
        }
    }
}

void readAcquisitionTime(std::istream& in, FmrHeader& h)
{
    readScalar(in, "AcqusitionTime:", h.AcqusitionTime);
    if (std::round(h.AcqusitionTime.value) == 0.0f) h.acquisitionTimeAvailable = false;
}

// The table, then one word that is taken only when it is "AcqusitionTime:".
void readSliceTimingTable(std::istream& in, FmrHeader& h)
{
    if (!h.SliceTimingTableSize.present || h.SliceTimingTableSize.value <= 0) return;
    readFloats(in, h.SliceTimingTableSize.value, h.sliceTimingTable);
    std::string word;
    if (nextWord(in, word) && word == "AcqusitionTime:") readAcquisitionTime(in, h);
}

// One line of x, y, z and b-value per volume, then one word that is dropped.
void readGradientTable(std::istream& in, DmrHeader& h)
{
    if (h.GradientInformationAvailable.value && h.NrOfVolumes.value > 0) {
        h.gradientDirections.clear();
        h.bValues.clear();
        for (std::int32_t i = 0; i < h.NrOfVolumes.value; ++i) {
            Point3 direction;
            float b = 0.0f;
            if (!(in >> direction.x >> direction.y >> direction.z >> b)) break;
            h.gradientDirections.push_back(direction);
            h.bValues.push_back(b);
        }
    }
    std::string dropped;
    nextWord(in, dropped);
}

// ------------------------------------------------------------------ writing

// Writes fields in the header layout; restores the stream's number format at the end.
class HeaderWriter {
public:
    explicit HeaderWriter(std::ostream& out) : out_(out), flags_(out.flags()), precision_(out.precision())
    {
        out_.unsetf(std::ios::floatfield | std::ios::adjustfield);
        out_.precision(6);
    }
    ~HeaderWriter()
    {
        out_.flags(flags_);
        out_.precision(precision_);
    }
    HeaderWriter(const HeaderWriter&) = delete;
    HeaderWriter& operator=(const HeaderWriter&) = delete;

    void lineEnds(int count)
    {
        for (int i = 0; i < count; ++i) out_ << "\r\n";
    }
    void put(const IntField& f, int ends = 1)
    {
        if (!f.present) return;
        key(f.name, f.valueColumn);
        out_ << f.value;
        lineEnds(ends);
    }
    void put(const FloatField& f, int ends = 1)
    {
        if (!f.present) return;
        key(f.name, f.valueColumn);
        out_ << f.value;
        lineEnds(ends);
    }
    void put(const BoolField& f, int ends = 1)
    {
        if (!f.present) return;
        key(f.name, f.valueColumn);
        out_ << (f.value ? "1" : "0");
        lineEnds(ends);
    }
    void putYesNo(const BoolField& f, int ends = 1)
    {
        if (!f.present) return;
        key(f.name, f.valueColumn);
        out_ << (f.value ? "YES" : "NO");
        lineEnds(ends);
    }
    void put(const HeaderTextField& f, int ends = 1)
    {
        if (!f.present) return;
        key(f.name, f.valueColumn);
        if (f.quoted)
            out_ << '"' << f.value << '"';
        else
            out_ << f.value;
        lineEnds(ends);
    }
    void text(const char* literal) { out_ << literal; }
    void value(float v) { out_ << v; }

    // Four values a line, the first right-justified in 9 columns, tab-separated, in
    // fixed notation with 5 decimals, which stays in force for later floats; the last
    // line is followed by two empty lines.
    void matrix(const std::vector<float>& values)
    {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::size_t column = i % 4;
            if (column == 0) {
                out_.setf(std::ios::fixed, std::ios::floatfield);
                out_.precision(5);
                out_.setf(std::ios::right, std::ios::adjustfield);
                out_.width(9);
            } else {
                out_ << '\t';
            }
            out_ << values[i];
            const bool lastValue = i + 1 == values.size();
            if (lastValue)
                lineEnds(3);
            else if (column == 3)
                lineEnds(1);
        }
    }

private:
    void key(const std::string& name, int column)
    {
        const std::string word = name + ":";
        out_ << word;
        for (int i = static_cast<int>(word.size()); i < column; ++i) out_ << ' ';
    }

    std::ostream& out_;
    std::ios_base::fmtflags flags_;
    std::streamsize precision_;
};

void writeCommonPart(HeaderWriter& w, const ProjectHeader& h, const IntField& kindField)
{
    w.lineEnds(1);
    w.put(h.FileVersion);
    w.put(h.NrOfVolumes);
    w.put(h.NrOfSlices);
    w.put(h.NrOfSkippedVolumes);
    w.put(h.Prefix);
    w.put(h.DataStorageFormat);
    w.put(h.DataType);
    w.put(h.TR);
    w.put(h.InterSliceTime);
    w.put(h.TimeResolutionVerified);
    w.put(h.TE);
    w.put(h.SliceAcquisitionOrder);
    w.put(h.SliceAcquisitionOrderVerified);
    w.put(h.ResolutionX);
    w.put(h.ResolutionY);
    w.put(h.LoadAMRFile);
    w.put(h.ShowAMRFile);
    w.put(h.ImageIndex);
    w.put(h.LayoutNColumns);
    w.put(h.LayoutNRows);
    w.put(h.LayoutZoomLevel);
    w.put(h.SegmentSize);
    w.put(h.SegmentOffset);
    w.put(kindField);
    w.put(h.ProtocolFile);
    w.put(h.InplaneResolutionX);
    w.put(h.InplaneResolutionY);
    w.put(h.SliceThickness);
    w.put(h.SliceGap);
    w.put(h.VoxelResolutionVerified, 2);
    if (h.PosInfosVerified.present) w.text("\r\nPositionInformationFromImageHeaders\r\n\r\n");
    w.put(h.PosInfosVerified);
    w.put(h.CoordinateSystem);
    w.put(h.Slice1CenterX);
    w.put(h.Slice1CenterY);
    w.put(h.Slice1CenterZ);
    w.put(h.SliceNCenterX);
    w.put(h.SliceNCenterY);
    w.put(h.SliceNCenterZ);
    w.put(h.RowDirX);
    w.put(h.RowDirY);
    w.put(h.RowDirZ);
    w.put(h.ColDirX);
    w.put(h.ColDirY);
    w.put(h.ColDirZ);
    w.put(h.NRows);
    w.put(h.NCols);
    w.put(h.FoVRows);
    w.put(h.FoVCols);
    w.put(h.BlockSliceThickness);
    w.put(h.GapThickness, 3);
}

} // namespace

std::string ProjectHeader::dataFilePath(const std::string& extension) const
{
    return directoryPart(fileName) + Prefix.value + extension;
}

// ------------------------------------------------------------------ FMR

void FmrHeader::readHeader(const std::string& name, bool loadData)
{
    std::ifstream in = openHeader(name);
    readHeaderText(in, name);
    if (loadData) loadVoxelData();
}

void FmrHeader::readHeaderText(std::istream& in, const std::string& name)
{
    *this = FmrHeader{};
    KeyList keys = commonKeys(*this, NrOfLinkedProtocols, "NrOfLinkedProtocols:");
    keys.push_back({"MultibandSequence:", &MultibandSequence});
    keys.push_back({"SliceTimingTableSize:", &SliceTimingTableSize});

    std::string word;
    while (nextWord(in, word)) {
        if (word == "AcqusitionTime:") {
            readAcquisitionTime(in, *this);
        } else if (readCommonWord(in, word, keys, *this)) {
            if (word == "NrOfPastSpatialTransformations:" && NrOfPastSpatialTransformations.value > 0 && in.good())
                readPastTransformation(in, *this);
            else if (word == "SliceTimingTableSize:")
                readSliceTimingTable(in, *this);
        }
    }
    fileName = name;
}

void FmrHeader::writeHeaderText(std::ostream& out) const
{
    HeaderWriter w(out);
    writeCommonPart(w, *this, NrOfLinkedProtocols);

    const bool hasPastTransformation = NrOfPastSpatialTransformations.value > 0;
    w.put(NrOfPastSpatialTransformations, hasPastTransformation ? 2 : 3);
    if (hasPastTransformation) {
        w.put(NameOfSpatialTransformation);
        w.put(TypeOfSpatialTransformation);
        w.put(AppliedToFileName);
        w.put(NrOfTransformationValues);
        if (NrOfTransformationValues.present && NrOfTransformationValues.value > 0) w.matrix(transformationValues);
    }
    w.put(LeftRightConvention, 3);
    w.put(FirstDataSourceFile, 2);
    w.put(MultibandSequence, 2);
    w.put(SliceTimingTableSize);
    if (SliceTimingTableSize.present && SliceTimingTableSize.value > 0) {
        for (float t : sliceTimingTable) {
            w.value(t);
            w.lineEnds(1);
        }
    }
    w.lineEnds(1);
    if (AcqusitionTime.present) {
        if (acquisitionTimeAvailable)
            w.put(AcqusitionTime);
        else
            w.text("AcqusitionTime:\tNA");
    }
}

FmrHeader readFmrHeader(const std::string& fileName, bool loadData)
{
    FmrHeader header;
    header.readHeader(fileName, loadData);
    return header;
}

// ------------------------------------------------------------------ DMR

void DmrHeader::readHeader(const std::string& name, bool loadData)
{
    std::ifstream in = openHeader(name);
    readHeaderText(in, name);
    if (loadData) loadVoxelData();
}

void DmrHeader::readHeaderText(std::istream& in, const std::string& name)
{
    *this = DmrHeader{};
    KeyList keys = commonKeys(*this, DisplayVolume, "DisplayVolume:");
    keys.push_back({"GradientDirectionsVerified:", YesNo{&GradientDirectionsVerified}});
    keys.push_back({"GradientXDirInterpretation:", &GradientXDirInterpretation});
    keys.push_back({"GradientYDirInterpretation:", &GradientYDirInterpretation});
    keys.push_back({"GradientZDirInterpretation:", &GradientZDirInterpretation});
    keys.push_back({"GradientInformationAvailable:", YesNo{&GradientInformationAvailable}});

    std::string word;
    while (nextWord(in, word)) {
        if (readCommonWord(in, word, keys, *this) && word == "GradientInformationAvailable:")
            readGradientTable(in, *this);
    }
    fileName = name;
}

void DmrHeader::writeHeaderText(std::ostream& out) const
{
    HeaderWriter w(out);
    writeCommonPart(w, *this, DisplayVolume);
    w.put(NrOfPastSpatialTransformations, 3);
    w.put(LeftRightConvention, 3);
    w.put(FirstDataSourceFile, 2);
    w.putYesNo(GradientDirectionsVerified);
    w.put(GradientXDirInterpretation);
    w.put(GradientYDirInterpretation);
    w.put(GradientZDirInterpretation);
    w.putYesNo(GradientInformationAvailable);
    if (GradientInformationAvailable.present && GradientInformationAvailable.value) {
        for (std::size_t i = 0; i < gradientDirections.size(); ++i) {
            const Point3& d = gradientDirections[i];
            w.value(d.x);
            w.text(" ");
            w.value(d.y);
            w.text(" ");
            w.value(d.z);
            w.text(" ");
            w.value(i < bValues.size() ? bValues[i] : 0.0f);
            w.lineEnds(1);
        }
    }
}

DmrHeader readDmrHeader(const std::string& fileName, bool loadData)
{
    DmrHeader header;
    header.readHeader(fileName, loadData);
    return header;
}
