#include "app/data_files.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_shader_uniforms.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace {

// 1,000 declarations of the kinds real stages carry, between ordinary code lines the scanner passes over.
std::string uniformText()
{
    const char* kinds[] = {
        "uniform float u{0} = 0.5;",
        "uniform vec3 u{0} = vec3(1.0, 0.5, 0.25);",
        "uniform mat4 u{0};",
        "layout(binding = {1}) uniform image2D u{0};",
        "uniform sampler2D u{0};",
        "uniform vec4 u{0}[4] = vec4[4](vec4(0.0), vec4(1.0), vec4(2.0), vec4(3.0));",
        "uniform int u{0} = 0; // a trailing comment",
        "uniform highp float u{0} = flag ? 1.0 : -1.0 * (2.0 + 3.0);",
    };
    std::string text = "#version 430\n";
    for (int i = 0; i < 1000; ++i) {
        text += fmt::format(fmt::runtime(kinds[i % 8]), i, i % 8) + "\n";
        text += "vec3 helper" + std::to_string(i) + "(vec3 p) { return p * 2.0; }\n";
    }
    return text;
}

void BM_ParseUniformDeclarations(benchmark::State& state)
{
    const std::string text = uniformText();
    for (auto _ : state) {
        std::vector<ShaderUniform*> uniforms = shaderParseUniformDeclarations(text.c_str());
        if (uniforms.size() != 1000)
            state.SkipWithError("wrong declaration count");
        for (ShaderUniform* u : uniforms)
            delete u;
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseUniformDeclarations)->Unit(benchmark::kMicrosecond);

// A main file of 300 lines with four includes, one of them nested, and one inline block.
void BM_PreprocessWithIncludes(benchmark::State& state)
{
    const std::filesystem::path base = std::filesystem::temp_directory_path() / fmt::format("shadersrc_bench_{}", getpid());
    auto write = [&](const std::string& name, const std::string& text) {
        std::filesystem::create_directories((base / name).parent_path());
        std::ofstream(base / name, std::ios::binary) << text;
    };
    auto body = [](int lines) {
        std::string text;
        for (int i = 0; i < lines; ++i)
            text += fmt::format("float f{0}(float x) {{ return x * {0}.0 + sin(x); }}\n", i);
        return text;
    };
    write("shaders/materials/commons.glsl", body(200) + "#include \"lighting.glsl\"\n");
    write("shaders/materials/lighting.glsl", body(200));
    write("shaders/materials/brdf.glsl", body(150));
    write("shaders/noise.glsl", body(100));
    write("shaders/materials/main.frag", "#include \"commons.glsl\"\n#include \"brdf.glsl\"\n" + body(150) +
                                             "#include <shaders/noise.glsl>\n#inline <INLINE_MATERIAL_OVERRIDE>\n" +
                                             body(150));
    const ShaderDefines defines = {{"INLINE_MATERIAL_OVERRIDE", body(10)}};
    const std::string oldBase = dataBasePath();
    dataSetBasePath(base.string() + "/");

    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<std::string> files;
        char* text = shaderLoadPreprocessInclude("shaders/materials/main.frag", defines, files);
        if (!text || files.size() != 4) {
            state.SkipWithError("preprocessing failed");
            break;
        }
        bytes = std::strlen(text);
        std::free(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    dataSetBasePath(oldBase);
    std::filesystem::remove_all(base);
}
BENCHMARK(BM_PreprocessWithIncludes)->Unit(benchmark::kMicrosecond);

} // namespace
