// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/fileidentity.h"

#include <filesystem>
#include <map>
#include <unordered_map>

#include "files/fileerrors.h"

namespace fs = std::filesystem;

namespace {

// What the comparison needs of one name: whether it leads to a file, the name resolved,
// and for existing files the time of the last change, which one file has under every name.
struct Identity {
    bool exists = false;
    std::string resolved;
    fs::file_time_type modified{};
};

Identity identityOf(const std::string& path)
{
    Identity identity;
    std::error_code error;
    identity.exists = !path.empty() && fs::exists(path, error);
    fs::path resolved;
    if (identity.exists) {
        resolved = fs::canonical(path, error);
        const fs::file_time_type modified = fs::last_write_time(path, error);
        if (!error) identity.modified = modified;
    }
    if (!identity.exists || error) {
        error.clear();
        resolved = fs::weakly_canonical(fs::absolute(path, error), error);
        if (error) resolved = fs::absolute(path, error).lexically_normal();
    }
    identity.resolved = resolved.string();
    return identity;
}

bool sameIdentity(const Identity& a, const std::string& aPath, const Identity& b, const std::string& bPath)
{
    if (a.resolved == b.resolved) return true;
    if (!a.exists || !b.exists || a.modified != b.modified) return false;
    std::error_code error;
    return fs::equivalent(aPath, bPath, error);
}

std::string described(const StepFile& file)
{
    return file.role.empty() ? file.path : file.path + " (" + file.role + ")";
}

// The files of a list, findable by resolved name and, for existing files, by change time,
// so that a check of many outputs against many inputs compares only likely pairs.
class FileIndex {
public:
    explicit FileIndex(const std::vector<StepFile>& files) : files_(files)
    {
        identities_.reserve(files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            identities_.push_back(identityOf(files[i].path));
            if (files[i].path.empty()) continue;  // no file: nothing to compare
            byName_.emplace(identities_.back().resolved, i);
            if (identities_.back().exists) byTime_.emplace(identities_.back().modified, i);
        }
    }

    // The first file of the list before position end that is the file given; -1 for none.
    long find(const Identity& identity, const std::string& path, std::size_t end) const
    {
        long found = -1;
        const auto consider = [&](std::size_t i) {
            if (i < end && (found < 0 || static_cast<long>(i) < found) &&
                sameIdentity(identity, path, identities_[i], files_[i].path))
                found = static_cast<long>(i);
        };
        const auto [nameFirst, nameLast] = byName_.equal_range(identity.resolved);
        for (auto entry = nameFirst; entry != nameLast; ++entry) consider(entry->second);
        if (identity.exists) {
            const auto [timeFirst, timeLast] = byTime_.equal_range(identity.modified);
            for (auto entry = timeFirst; entry != timeLast; ++entry) consider(entry->second);
        }
        return found;
    }

    const Identity& identity(std::size_t i) const { return identities_[i]; }

private:
    const std::vector<StepFile>& files_;
    std::vector<Identity> identities_;
    std::unordered_multimap<std::string, std::size_t> byName_;
    std::multimap<fs::file_time_type, std::size_t> byTime_;
};

}  // namespace

bool sameFile(const std::string& first, const std::string& second)
{
    return sameIdentity(identityOf(first), first, identityOf(second), second);
}

void requireOutputsApartFromInputs(const std::vector<StepFile>& inputs, const std::vector<StepFile>& outputs,
                                   RepeatedOutputs repeats)
{
    const FileIndex inputIndex(inputs);
    const FileIndex outputIndex(outputs);
    for (std::size_t o = 0; o < outputs.size(); ++o) {
        const Identity& identity = outputIndex.identity(o);
        const long input = inputIndex.find(identity, outputs[o].path, inputs.size());
        if (input >= 0)
            throw WriteFileError("Cannot write " + described(outputs[o]) + ": it is the input " +
                                 described(inputs[static_cast<std::size_t>(input)]) + "; nothing was written.");
        if (repeats == RepeatedOutputs::Allowed) continue;
        const long earlier = outputIndex.find(identity, outputs[o].path, o);
        if (earlier >= 0)
            throw WriteFileError("Cannot write both " + described(outputs[static_cast<std::size_t>(earlier)]) +
                                 " and " + described(outputs[o]) + ": they are one file; nothing was written.");
    }
}
