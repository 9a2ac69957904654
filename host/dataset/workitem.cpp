// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/workitem.h"

#include <stdexcept>

#include "nifti/bidsmetadata.h"

namespace {

nlohmann::json imageJson(const ItemImage& image)
{
    nlohmann::json content = {{"path", image.path},
                              {"relative", image.relative},
                              {"PhaseEncodingDirection", image.phaseEncodingDirection},
                              {"volumes", image.volumes}};
    if (image.totalReadoutTime) content["TotalReadoutTime"] = *image.totalReadoutTime;
    content["ReadoutTimeRule"] = image.readoutTimeRule;
    return content;
}

ItemImage imageFromJson(const nlohmann::json& content)
{
    ItemImage image;
    image.path = content.at("path").get<std::string>();
    image.relative = content.at("relative").get<std::string>();
    image.phaseEncodingDirection = content.at("PhaseEncodingDirection").get<std::string>();
    if (content.contains("TotalReadoutTime")) image.totalReadoutTime = content.at("TotalReadoutTime").get<double>();
    image.volumes = content.at("volumes").get<std::vector<int>>();
    image.readoutTimeRule = content.value("ReadoutTimeRule", "");
    return image;
}

}  // namespace

std::vector<std::string> WorkItem::outputs() const
{
    std::vector<std::string> files{fieldmap, sidecarPath(fieldmap), picture};
    for (const ItemTarget& target : targets) {
        files.push_back(target.output);
        files.push_back(sidecarPath(target.output));
        files.push_back(target.beforePicture);
        files.push_back(target.afterPicture);
        if (!target.bval.empty()) files.push_back(withoutNiftiExtension(target.output) + ".bval");
        if (!target.bvec.empty()) files.push_back(withoutNiftiExtension(target.output) + ".bvec");
    }
    for (const ItemCombination& combination : combinations) {
        files.push_back(combination.output);
        files.push_back(sidecarPath(combination.output));
        if (!targets[static_cast<std::size_t>(combination.plus)].bval.empty())
            files.insert(files.end(), {withoutNiftiExtension(combination.output) + ".bval",
                                       withoutNiftiExtension(combination.output) + ".bvec"});
    }
    files.push_back(record);
    return files;
}

std::string rawDatasetUri(const std::string& relative)
{
    return "bids:raw:" + relative;
}

nlohmann::json toJson(const WorkItem& item)
{
    nlohmann::json targets = nlohmann::json::array();
    for (const ItemTarget& target : item.targets)
        targets.push_back({{"image", imageJson(target.image)},
                           {"why", target.why},
                           {"output", target.output},
                           {"bval", target.bval},
                           {"bvec", target.bvec},
                           {"metadata", target.metadata},
                           {"beforePicture", target.beforePicture},
                           {"afterPicture", target.afterPicture}});
    nlohmann::json images = nlohmann::json::array();
    for (const ItemFieldMapImage& image : item.fieldMapImages)
        images.push_back({{"role", image.role}, {"path", image.path}, {"relative", image.relative}, {"metadata", image.metadata}});
    nlohmann::json combinations = nlohmann::json::array();
    for (const ItemCombination& combination : item.combinations)
        combinations.push_back({{"plus", combination.plus}, {"minus", combination.minus}, {"output", combination.output}});
    return {{"name", item.name},
            {"subject", item.subject},
            {"session", item.session},
            {"method", item.method},
            {"B0FieldIdentifier", item.b0FieldIdentifier},
            {"fieldMapKind", item.fieldMapKind},
            {"fieldMapImages", images},
            {"first", imageJson(item.first)},
            {"second", imageJson(item.second)},
            {"targets", targets},
            {"combinations", combinations},
            {"fieldmap", item.fieldmap},
            {"picture", item.picture},
            {"record", item.record},
            {"log", item.log},
            {"estimateOptions", item.estimateOptions},
            {"datasetFolder", item.datasetFolder},
            {"outputFolder", item.outputFolder}};
}

WorkItem workItemFromJson(const nlohmann::json& content)
{
    try {
        WorkItem item;
        item.name = content.at("name").get<std::string>();
        item.subject = content.at("subject").get<std::string>();
        item.session = content.at("session").get<std::string>();
        item.method = content.at("method").get<std::string>();
        item.b0FieldIdentifier = content.at("B0FieldIdentifier").get<std::string>();
        item.first = imageFromJson(content.at("first"));
        item.second = imageFromJson(content.at("second"));
        for (const nlohmann::json& target : content.at("targets"))
            item.targets.push_back({imageFromJson(target.at("image")), target.at("why").get<std::string>(),
                                    target.at("output").get<std::string>(), target.at("bval").get<std::string>(),
                                    target.at("bvec").get<std::string>(), target.at("metadata"),
                                    target.at("beforePicture").get<std::string>(),
                                    target.at("afterPicture").get<std::string>()});
        item.fieldMapKind = content.at("fieldMapKind").get<std::string>();
        for (const nlohmann::json& image : content.at("fieldMapImages"))
            item.fieldMapImages.push_back({image.at("role").get<std::string>(), image.at("path").get<std::string>(),
                                           image.at("relative").get<std::string>(), image.at("metadata")});
        for (const nlohmann::json& combination : content.at("combinations")) {
            ItemCombination entry{combination.at("plus").get<int>(), combination.at("minus").get<int>(),
                                  combination.at("output").get<std::string>()};
            if (entry.plus < 0 || entry.minus < 0 || static_cast<std::size_t>(entry.plus) >= item.targets.size() ||
                static_cast<std::size_t>(entry.minus) >= item.targets.size())
                throw std::runtime_error("A work item combines targets it does not have.");
            item.combinations.push_back(std::move(entry));
        }
        item.fieldmap = content.at("fieldmap").get<std::string>();
        item.picture = content.at("picture").get<std::string>();
        item.record = content.at("record").get<std::string>();
        item.log = content.at("log").get<std::string>();
        item.estimateOptions = content.at("estimateOptions").get<std::vector<std::string>>();
        item.datasetFolder = content.at("datasetFolder").get<std::string>();
        item.outputFolder = content.at("outputFolder").get<std::string>();
        return item;
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error(std::string("A work item is incomplete: ") + error.what());
    }
}
