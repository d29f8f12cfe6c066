// Shader source expansion: "#include" and "#inline" directives, "#line" bookkeeping for the compiler's messages,
// and the "#define" block built from a program's defines.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

// Name -> value, handed to every stage and program build. Names containing "INLINE_" also supply "#inline" texts.
using ShaderDefines = std::unordered_map<std::string, std::string>;

// Passed by code whose programs need no defines of their own; nothing ever adds to it.
extern ShaderDefines shaderGlobalDefines;

struct ShaderPreprocessResult {
    std::string text;                  // the expansion, or the part produced before a failure
    std::vector<std::string> messages; // failure descriptions, innermost first
    bool ok = false;
};

// Longest source line, without its line end.
constexpr size_t kShaderMaxLineLength = 8191;
// Nesting of includes and inlines beyond this is taken as a cycle the chain check could not see.
constexpr int kShaderMaxIncludeDepth = 32;
// Includes and inlines expanded for one shader, and the size of its expansion: files that include the next one
// twice, a few dozen deep, would otherwise expand millions of times.
constexpr size_t kShaderMaxIncludes = 4096;
constexpr size_t kShaderMaxExpandedSize = size_t{16} << 20;

// One "#define" line per entry, in the map's order; "INLINE_" names are defined as 1.
std::string shaderMakeDefineBlock(const ShaderDefines& defines);

// Expands a zero-terminated source. filePath is the data path it came from ("<text>" for strings) and decides where
// quoted includes are found. Each include that completes is appended to includedFiles (nested files first).
ShaderPreprocessResult shaderPreprocessInclude(const char* source, const std::string& filePath,
                                               const ShaderDefines& defines, std::vector<std::string>& includedFiles);

// Loads and expands a data file. Returns a malloc'd zero-terminated text the caller releases with free(), or null
// after logging the failure (also to the editor's event log). Writes "<name>.pp" into the working directory when
// the expansion contains "#define DUMP_PREPROCESSED 1".
char* shaderLoadPreprocessInclude(const std::string& path, const ShaderDefines& defines,
                                  std::vector<std::string>& includedFiles);
