#include "project/json_file.h"

#include "project_test_util.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

using nlohmann::json;
using projtest::LogCapture;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

// Down to the indentation limit the writer's form is the library's own, so files written before stay byte-identical.
TEST(JsonFile, DumpMatchesTheLibraryFormWhereItIndents)
{
    const json docs[] = {
        json(),
        json::object(),
        json::array(),
        json::parse(R"({"a": [], "b": {}, "c": [1, -2, 3.5, "x\"y", null, true], "é": {"z": {"y": [[{}]]}}})"),
        json::parse(R"([[1, [2, [3]]], {"k": "v"}])"),
    };
    for (const json& doc : docs)
        for (int indent : {0, 2, 4}) {
            SCOPED_TRACE(doc.dump());
            EXPECT_EQ(jsonfile::dump(doc, indent), doc.dump(indent));
        }
    EXPECT_EQ(jsonfile::dump(docs[3], -1), docs[3].dump());
}

TEST(JsonFile, DeepValuesAreWrittenCompactBelowTheIndentedLevels)
{
    json deep = json::array();
    for (int i = 0; i < 900; ++i)
        deep = json::array({std::move(deep)});
    const std::string text = jsonfile::dump(json{{"kept", deep}}, 4);
    EXPECT_LT(text.size(), 32u * 1024u); // fully indented it would be 3 MB
    EXPECT_EQ(json::parse(text)["kept"], deep);
}

// Nesting is bounded before parsing, with the line where it goes too deep; strings holding brackets do not count.
TEST(JsonFile, ParseRefusesNestingBeyondTheBound)
{
    struct Case {
        int depth;
        bool accepted;
    };
    for (const Case& k : {Case{jsonfile::kMaxDepth, true}, Case{jsonfile::kMaxDepth + 1, false}, Case{10000, false},
                          Case{100000, false}}) {
        SCOPED_TRACE(k.depth);
        const std::string text = "{\"s\": \"[[[{{\\\"[\",\n\"a\":" + std::string(k.depth - 1, '[') +
                                 std::string(k.depth - 1, ']') + "}";
        LogCapture log;
        json out;
        EXPECT_EQ(jsonfile::parse(text, "deep.json", out), k.accepted);
        if (!k.accepted) {
            EXPECT_TRUE(log.contains("Failed to parse <deep.json>: line 2: nested deeper than")) << log.text();
        }
    }
}

// A number JSON cannot hold would be written as null and the next load would reject the file: the save is refused
// and the old file stays.
TEST(JsonFile, SaveRefusesNumbersThatWouldBeWrittenAsNull)
{
    TempDir dir{"jsonfile"};
    const std::string path = dir.str() + "doc.json";
    const double lost[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
    for (double value : lost) {
        SCOPED_TRACE(value);
        writeFile(path, "old");
        json doc = {{"a", {{"b", json::array({1, value})}}}};
        LogCapture log;
        EXPECT_FALSE(jsonfile::save(path, doc, 2));
        EXPECT_EQ(readFile(path), "old");
        EXPECT_TRUE(log.contains("Not saving <" + path + ">: the number at /a/b/1")) << log.text();
    }
    EXPECT_TRUE(jsonfile::save(path, json{{"a", 1e308}}, 2));
    EXPECT_EQ(json::parse(readFile(path))["a"], 1e308);
}

TEST(JsonFile, ClampToFloatNamesTheSourceAndTheValue)
{
    json value = json::parse(R"({"x": 1e308, "y": [-1e39, 0.5, 3.4028234663852886e38], "id": 18446744073709551615})");
    const json untouched = value;
    LogCapture log;
    jsonfile::clampToFloat(value, "some/file.json");
    const double max = std::numeric_limits<float>::max();
    EXPECT_EQ(value["x"], max);
    EXPECT_EQ(value["y"], json::array({-max, 0.5, max}));
    EXPECT_EQ(value["id"], untouched["id"]);
    EXPECT_TRUE(log.contains("<some/file.json>: 1e+308 is beyond the range of a float")) << log.text();
    EXPECT_TRUE(log.contains("<some/file.json>: -1e+39 is beyond the range of a float")) << log.text();
    EXPECT_EQ(log.count("beyond the range of a float"), 2);
}
