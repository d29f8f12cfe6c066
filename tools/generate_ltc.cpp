// Converts the published LTC fit tables of GGX area lights (as shipped in a JavaScript module) into C++ source
// that defines ltcTable1 and ltcTable2.
//
//   generate_ltc <RectAreaLightUniformsLib.js> <output.cpp>
//
// Each number is read as a double and rounded to float, as a Float32Array built from the same array literal
// would hold it, and written as an exact hexadecimal literal.
#include "generated_file.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kEntries = 64 * 64 * 4;

bool readArray(const std::string& text, const std::string& name, std::vector<float>& values)
{
    const size_t at = text.find(name + " = [");
    if (at == std::string::npos) {
        std::fprintf(stderr, "generate_ltc: no array %s\n", name.c_str());
        return false;
    }
    const size_t begin = text.find('[', at) + 1;
    const size_t end = text.find(']', begin);
    if (end == std::string::npos) {
        std::fprintf(stderr, "generate_ltc: array %s is not closed\n", name.c_str());
        return false;
    }
    std::stringstream list(text.substr(begin, end - begin));
    std::string item;
    while (std::getline(list, item, ',')) {
        // The module writes some negative numbers as "- 0.08".
        std::string number;
        for (char c : item)
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                number += c;
        char* stop = nullptr;
        const double value = std::strtod(number.c_str(), &stop);
        if (number.empty() || *stop != '\0') {
            std::fprintf(stderr, "generate_ltc: %s entry %zu is not a number: \"%s\"\n", name.c_str(), values.size(),
                         item.c_str());
            return false;
        }
        values.push_back(static_cast<float>(value));
    }
    if (values.size() != kEntries) {
        std::fprintf(stderr, "generate_ltc: %s has %zu entries, expected %zu\n", name.c_str(), values.size(), kEntries);
        return false;
    }
    return true;
}

void appendTable(std::string& out, const char* name, const std::vector<float>& values)
{
    out += "const float ";
    out += name;
    out += "[LTC_TABLE_FLOATS] = {\n";
    char buffer[64];
    for (size_t i = 0; i < values.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, "%af,%s", static_cast<double>(values[i]), (i % 4 == 3) ? "\n" : " ");
        out += buffer;
    }
    out += "};\n";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: generate_ltc <RectAreaLightUniformsLib.js> <output.cpp>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "generate_ltc: cannot read %s (Debian package libjs-three)\n", argv[1]);
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::vector<float> first, second;
    if (!readArray(text.str(), "LTC_MAT_1", first) || !readArray(text.str(), "LTC_MAT_2", second))
        return 1;

    std::string out = "// Generated at build time by tools/generate_ltc from the published GGX LTC fit tables.\n"
                      "#include \"render/shared_inputs_data.h\"\n\n";
    appendTable(out, "ltcTable1", first);
    out += "\n";
    appendTable(out, "ltcTable2", second);
    if (!writeGeneratedFile(argv[2], out.data(), out.size(), "generate_ltc"))
        return 1;
    std::printf("generate_ltc: %s, 2 x %zu floats\n", argv[2], kEntries);
    return 0;
}
