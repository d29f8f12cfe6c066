#include "project/gradients.h"

#include "app/data_files.h"
#include "app/log.h"
#include "jni/engine/grd_texture.h"
#include "project/curve_texture.h"
#include "project/json_file.h"
#include "project/project.h"
#include "project/project_json.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

using nlohmann::json;

Texture* colorGradientTexture = nullptr;

namespace {

// The one set of gradients. Records are never destroyed: every project's store points at them.
struct SharedGradients {
    std::map<std::string, GradientResource*> records;
    // What the file held besides readable gradients: other root keys, and entries repeating a name. Written
    // back as they were.
    json keptRootKeys = json::object();
    std::vector<json> keptEntries;
};

SharedGradients& shared()
{
    static auto* set = new SharedGradients();
    return *set;
}

GradientResource* newRecord(const std::string& name, Gradient gradient)
{
    auto* record = new GradientResource(name, new Gradient(std::move(gradient)));
    shared().records.emplace(name, record);
    return record;
}

// Offers a shared record to a store; a different record holding the name there stays.
void offer(ResourceManagerStorage* store, GradientResource* record)
{
    if (!store)
        return;
    auto it = store->resources.find(record->name);
    if (it != store->resources.end()) {
        if (it->second != record)
            LOG_WARNING("Gradient <%s> is not added to the project: another resource has that name",
                        record->name.c_str());
        return;
    }
    store->add(record);
}

std::string checkFile(const json& doc)
{
    if (doc.is_null())
        return {};
    if (!doc.is_object())
        return "the top level must be an object";
    if (!doc.contains("gradient_resources"))
        return {};
    const json& list = doc["gradient_resources"];
    if (!list.is_array())
        return "gradient_resources must be an array";
    for (size_t i = 0; i < list.size(); ++i) {
        const json& g = list[i];
        const std::string at = "gradient_resources[" + std::to_string(i) + "]";
        int32_t interpolation = 0;
        if (!g.is_object())
            return at + " must be an object";
        if (!g.contains("name") || !g["name"].is_string())
            return at + ".name must be a string";
        if (!g.contains("interpolation") || !jsonfile::readInt32(g["interpolation"], interpolation))
            return at + ".interpolation must be an integer";
        if (!g.contains("entries"))
            continue;
        if (!g["entries"].is_array())
            return at + ".entries must be an array";
        for (size_t k = 0; k < g["entries"].size(); ++k) {
            const json& e = g["entries"][k];
            const std::string eat = at + ".entries[" + std::to_string(k) + "]";
            if (!e.is_object() || !e.contains("color") || !e["color"].is_string())
                return eat + ".color must be a string";
            if (!e.contains("pos") || !e["pos"].is_number())
                return eat + ".pos must be a number";
        }
    }
    return {};
}

Gradient gradientFromJson(const json& g)
{
    Gradient gradient;
    jsonfile::readInt32(g["interpolation"], gradient.interpolation);
    gradient.marks.push_back(GradientMark{1.0f, 1.0f, 1.0f, 1.0f, 0.0f});
    if (g.contains("entries")) {
        gradient.marks.clear();
        for (const json& e : g["entries"]) {
            GradientMark mark;
            gradientColorFromText(e["color"].get<std::string>(), mark);
            mark.position = e["pos"].get<float>();
            gradient.marks.push_back(mark);
        }
        // Stable, so marks at equal positions keep their file order and an unchanged file saves the same.
        std::stable_sort(gradient.marks.begin(), gradient.marks.end(),
                         [](const GradientMark& a, const GradientMark& b) { return a.position < b.position; });
    }
    return gradient;
}

json gradientToJson(const GradientResource& record)
{
    // A gradient without marks is written with an empty "entries": left out, it would read back as white.
    json entries = json::array();
    for (const GradientMark& mark : record.gradient->marks)
        entries.push_back({{"color", gradientColorText(mark)}, {"pos", static_cast<double>(mark.position)}});
    return {{"name", record.name}, {"interpolation", record.gradient->interpolation}, {"entries", std::move(entries)}};
}

int colorByte(float component)
{
    const float scaled = component * 255.0f;
    if (!(scaled > 0.0f))
        return 0; // also NaN
    return scaled >= 255.0f ? 255 : static_cast<int>(scaled);
}

} // namespace

GradientColor GradientCieLABCurveEvaluator::Evaluate(float t, const Gradient& gradient) const
{
    return gradientLabSpline(gradient.marks.size(), [&](size_t i) { return gradient.marks[i]; }, t);
}

std::string gradientColorText(const GradientMark& mark)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%02x%02x%02x%02x", colorByte(mark.red), colorByte(mark.green),
                  colorByte(mark.blue), colorByte(mark.alpha));
    return text;
}

void gradientColorFromText(const std::string& text, GradientMark& mark)
{
    const unsigned long v = std::strtoul(text.c_str(), nullptr, 16);
    mark.red = static_cast<float>((v >> 24) & 255) / 255.0f;
    mark.green = static_cast<float>((v >> 16) & 255) / 255.0f;
    mark.blue = static_cast<float>((v >> 8) & 255) / 255.0f;
    mark.alpha = static_cast<float>(v & 255) / 255.0f;
}

GradientResource* gradientsFind(const std::string& name)
{
    auto it = shared().records.find(name);
    return it == shared().records.end() ? nullptr : it->second;
}

GradientResource* gradientsAdd(const std::string& name)
{
    if (gradientsFind(name)) {
        LOG_ERROR("A gradient named <%s> exists already", name.c_str());
        return nullptr;
    }
    Gradient gradient;
    gradient.marks.push_back(GradientMark{1.0f, 1.0f, 1.0f, 1.0f, 0.0f});
    GradientResource* record = newRecord(name, std::move(gradient));
    for (Project* project : projectList)
        if (project)
            offer(project->resources, record);
    offer(currentResources, record);
    return record;
}

bool gradientsRemove(const std::string& name)
{
    GradientResource* record = gradientsFind(name);
    if (!record)
        return false;
    auto withdraw = [record](ResourceManagerStorage* store) {
        if (!store)
            return;
        auto it = store->resources.find(record->name);
        if (it != store->resources.end() && it->second == record)
            store->resources.erase(it);
    };
    for (Project* project : projectList)
        if (project)
            withdraw(project->resources);
    withdraw(currentResources);
    shared().records.erase(name);
    delete record->gradient;
    delete record;
    return true;
}

bool gradientsRename(const std::string& name, const std::string& newName)
{
    GradientResource* record = gradientsFind(name);
    if (!record) {
        LOG_WARNING("No gradient named <%s> to rename", name.c_str());
        return false;
    }
    if (newName == name)
        return true;
    if (newName.empty()) {
        LOG_WARNING("Gradient <%s> keeps its name: a gradient needs a name", name.c_str());
        return false;
    }
    std::vector<ResourceManagerStorage*> stores;
    for (Project* project : projectList)
        if (project && project->resources)
            stores.push_back(project->resources);
    if (currentResources)
        stores.push_back(currentResources);
    // Another record under the new name would be replaced and lost at the next save.
    const bool taken = gradientsFind(newName) ||
                       std::any_of(stores.begin(), stores.end(), [&](const ResourceManagerStorage* store) {
                           return store->resources.count(newName) != 0;
                       });
    if (taken) {
        LOG_WARNING("Gradient <%s> keeps its name: <%s> is taken", name.c_str(), newName.c_str());
        return false;
    }
    for (ResourceManagerStorage* store : stores) {
        auto it = store->resources.find(name);
        if (it != store->resources.end() && it->second == record) {
            store->resources.erase(it);
            store->resources.emplace(newName, record);
        }
    }
    shared().records.erase(name);
    record->name = newName;
    shared().records.emplace(newName, record);
    return true;
}

std::vector<GradientResource*> gradientsAll()
{
    std::vector<GradientResource*> all;
    for (const auto& [name, record] : shared().records)
        all.push_back(record);
    return all;
}

bool load_gradients_json(const std::string& path)
{
    SharedGradients& set = shared();
    set.keptRootKeys = json::object();
    set.keptEntries.clear();
    json doc;
    if (!projectJsonRead(path, checkFile, doc))
        return false;
    const std::string fullPath = dataPath(path);
    if (!doc.is_object())
        return true;
    for (auto it = doc.begin(); it != doc.end(); ++it)
        if (it.key() != "gradient_resources")
            set.keptRootKeys[it.key()] = it.value();
    if (!doc.contains("gradient_resources"))
        return true;

    std::set<std::string> seen;
    for (json& g : doc["gradient_resources"]) {
        const std::string name = g["name"].get<std::string>();
        if (!seen.insert(name).second) {
            LOG_WARNING("<%s>: a second gradient named <%s> is kept in the file but not used", fullPath.c_str(),
                        name.c_str());
            set.keptEntries.push_back(g);
            continue;
        }
        // Every project reads the same file; the first reading makes the record and the others share it.
        GradientResource* record = gradientsFind(name);
        if (!record) {
            jsonfile::clampToFloat(g, fullPath);
            record = newRecord(name, gradientFromJson(g));
        }
        offer(currentResources, record);
    }
    return true;
}

bool save_gradients_json(const std::string& path)
{
    if (jsonfile::isUnreadable(path)) {
        LOG_ERROR("<%s> could not be read at load; not overwriting the gradients in it", path.c_str());
        return false;
    }
    const SharedGradients& set = shared();
    json list = json::array();
    for (const auto& [name, record] : set.records)
        if (record->gradient)
            list.push_back(gradientToJson(*record));
    for (const json& entry : set.keptEntries)
        list.push_back(entry);

    json doc; // null when there is nothing to store
    if (!list.empty() || !set.keptRootKeys.empty()) {
        doc = set.keptRootKeys;
        if (!list.empty())
            doc["gradient_resources"] = std::move(list);
    }
    return jsonfile::save(path, doc, 4);
}

void gradientTextureUpdate(const std::vector<Gradient*>& gradients)
{
    if (!colorGradientTexture)
        colorGradientTexture = txtCreateNamed("ColorGradientTexture", TEXTURE_TYPE_2D, kGradientTextureWidth,
                                              kGradientTextureRows, IMAGE_TYPE_RGBA16F);
    Image* image = colorGradientTexture ? colorGradientTexture->images[0] : nullptr;
    if (!image || !image->levels[0]) {
        LOG_ERROR("ColorGradientTexture has no pixels to bake into");
        return;
    }
    if (gradients.size() > static_cast<size_t>(kGradientTextureRows))
        LOG_WARNING("%zu gradients but %d texture rows; the rest get no row", gradients.size(),
                    kGradientTextureRows);

    const GradientCieLABCurveEvaluator evaluator;
    auto* texels = reinterpret_cast<uint16_t*>(image->levels[0]);
    for (size_t k = 0; k < gradients.size(); ++k) {
        Gradient* gradient = gradients[k];
        if (!gradient)
            continue;
        if (k >= static_cast<size_t>(kGradientTextureRows)) {
            gradient->row = -1;
            continue;
        }
        gradient->row = static_cast<int32_t>(k);
        uint16_t* row = texels + k * kGradientTextureWidth * 4;
        for (int i = 0; i < kGradientTextureWidth; ++i) {
            const GradientColor c =
                evaluator.Evaluate(static_cast<float>(i) / static_cast<float>(kGradientTextureWidth - 1), *gradient);
            row[i * 4 + 0] = lookupTextureHalf(c.red);
            row[i * 4 + 1] = lookupTextureHalf(c.green);
            row[i * 4 + 2] = lookupTextureHalf(c.blue);
            row[i * 4 + 3] = lookupTextureHalf(c.alpha);
        }
    }
    txtUpdate(colorGradientTexture);
}
