#include "jni/engine/grd_shader_source.h"

#include "app/data_files.h"
#include "app/log.h"
#include "jni/engine/grd_messages.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

ShaderDefines shaderGlobalDefines;

namespace {

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// State shared by one whole expansion, nested levels included.
struct Expansion {
    const ShaderDefines& defines;
    std::vector<std::string>& includedFiles;
    // What is being expanded right now, outermost first: file paths and "#inline <NAME>" entries. The GL driver, not
    // this expander, evaluates "#if", so include guards cannot stop a file that reaches itself again.
    std::vector<std::string> chain;
    size_t includes = 0;      // includes and inlines entered so far
    size_t expandedBytes = 0; // text produced so far, each piece counted once at the level that writes it
};

std::string chainText(const std::vector<std::string>& chain, const std::string& next)
{
    std::string text;
    for (const std::string& entry : chain)
        text += entry + " -> ";
    return text + next;
}

// A message when entering `entry` would loop or nest too deep; empty when it may be expanded.
std::string checkNesting(const Expansion& ex, const std::string& entry)
{
    if (std::find(ex.chain.begin(), ex.chain.end(), entry) != ex.chain.end())
        return "Include cycle: " + chainText(ex.chain, entry);
    if (ex.chain.size() >= static_cast<size_t>(kShaderMaxIncludeDepth))
        return fmt::format("Include depth limit of {} reached: {}", kShaderMaxIncludeDepth, chainText(ex.chain, entry));
    if (ex.includes >= kShaderMaxIncludes)
        return fmt::format("Include count limit of {} reached: {}", kShaderMaxIncludes, chainText(ex.chain, entry));
    return {};
}

// Appends to one level's text; false, with a message naming the chain, once the whole expansion grows too large.
bool appendText(Expansion& ex, ShaderPreprocessResult& out, std::string_view text)
{
    ex.expandedBytes += text.size();
    if (ex.expandedBytes > kShaderMaxExpandedSize) {
        const std::string& current = ex.chain.back();
        const std::vector<std::string> outer(ex.chain.begin(), ex.chain.end() - 1);
        out.messages.push_back(fmt::format("Expanded size limit of {} bytes reached: {}", kShaderMaxExpandedSize,
                                           chainText(outer, current)));
        return false;
    }
    out.text += text;
    return true;
}

ShaderPreprocessResult expand(Expansion& ex, const char* source, const std::string& filePath);

// Expands `text` one level deeper under `entry` and appends the expansion to out.text; on failure its messages go to
// out.messages instead.
bool expandNested(Expansion& ex, const std::string& entry, const char* text, const std::string& filePath,
                  ShaderPreprocessResult& out)
{
    const std::string nesting = checkNesting(ex, entry);
    if (!nesting.empty()) {
        out.messages.push_back(nesting);
        return false;
    }
    ++ex.includes;
    ex.chain.push_back(entry);
    ShaderPreprocessResult inner = expand(ex, text, filePath);
    ex.chain.pop_back();
    if (!inner.ok) {
        out.messages.insert(out.messages.end(), inner.messages.begin(), inner.messages.end());
        return false;
    }
    out.text += inner.text;
    return true;
}

ShaderPreprocessResult expand(Expansion& ex, const char* source, const std::string& filePath)
{
    ShaderPreprocessResult result;
    const std::string folder = folderOf(filePath);
    const char* p = source;
    const char* const end = source + std::strlen(source);
    long long lineNumber = 1;

    while (p < end) {
        const char* lineFeed = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* lineEnd = lineFeed ? lineFeed : end;
        const char* next = lineFeed ? lineFeed + 1 : end;
        if (lineFeed && next < end && *next == '\r')
            ++next;
        const std::string_view line(p, static_cast<size_t>(lineEnd - p));

        if (line.size() > kShaderMaxLineLength) {
            LOG_ERROR("Line too long!:%lld <%s>\\n", static_cast<long long>(line.size()), p);
            // Cutting the line would hand the compiler a different program; refuse it instead.
            result.messages.push_back(fmt::format("Line {} of <{}> has {} characters; at most {} are allowed",
                                                  lineNumber, filePath, line.size(), kShaderMaxLineLength));
            return result;
        }

        if (line.substr(0, 7) == "#inline") {
            const size_t open = line.find('<', 7);
            const size_t close = open == std::string_view::npos ? open : line.find('>', open + 1);
            if (close != std::string_view::npos) {
                const std::string name(line.substr(open + 1, close - open - 1));
                const auto found = ex.defines.find(name);
                if (found != ex.defines.end()) {
                    if (!appendText(ex, result, fmt::format("// -- Inline define _{0}_ follows\n", name)) ||
                        !expandNested(ex, "#inline <" + name + ">", found->second.c_str(), filePath, result) ||
                        !appendText(ex, result, fmt::format("// -- Inline file _{0}_ done\n", name)))
                        return result;
                }
            }
            ++lineNumber;
        } else if (line.substr(0, 8) == "#include") {
            const bool quoted = line.find('"', 8) != std::string_view::npos;
            const size_t open = line.find(quoted ? '"' : '<', 8);
            const size_t close = line.rfind(quoted ? '"' : '>');
            if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1) {
                result.messages.push_back("Failed to parse #include line <" + std::string(line) + ">\n");
                return result;
            }
            const std::string name(line.substr(open + 1, close - open - 1));
            const std::string resolved = quoted ? folder + "/" + name : name;

            DataBlob file = dataLoadFile(resolved);
            if (!file) {
                result.messages.push_back("    Failed to load include file <" + name + "> Base file:<" + filePath +
                                          "> Local base file:<" + folder + ">");
                return result;
            }
            ShaderPreprocessResult included;
            if (!expandNested(ex, resolved, file.text(), resolved, included)) {
                result.messages.insert(result.messages.end(), included.messages.begin(), included.messages.end());
                return result;
            }
            const std::string head =
                fmt::format("// -- Include file {0} follows:\n#line 1 {1}\n", name, ex.includedFiles.size());
            if (!appendText(ex, result, head))
                return result;
            result.text += included.text;
            if (!appendText(ex, result, fmt::format("// -- Include file {0} done\n#line {1} 0\n", name, lineNumber)))
                return result;
            ++lineNumber;
            ex.includedFiles.push_back(resolved);
        } else {
            if (!appendText(ex, result, line) || !appendText(ex, result, "\n"))
                return result;
            ++lineNumber;
        }
        p = next;
    }
    result.ok = true;
    return result;
}

void reportFailure(const std::string& text)
{
    LOG_ERROR("%s", text.c_str());
    grdMessageLine(text);
}

} // namespace

std::string shaderMakeDefineBlock(const ShaderDefines& defines)
{
    std::string block;
    for (const auto& [name, value] : defines) {
        if (name.find("INLINE_") != std::string::npos)
            block += fmt::format("#define {0} 1\n", name);
        else
            block += fmt::format("#define {0} {1}\n", name, value);
    }
    return block;
}

ShaderPreprocessResult shaderPreprocessInclude(const char* source, const std::string& filePath,
                                               const ShaderDefines& defines, std::vector<std::string>& includedFiles)
{
    if (!source) {
        ShaderPreprocessResult result;
        result.messages.push_back("No source text for <" + filePath + ">");
        return result;
    }
    Expansion ex{defines, includedFiles, {filePath}};
    return expand(ex, source, filePath);
}

char* shaderLoadPreprocessInclude(const std::string& path, const ShaderDefines& defines,
                                  std::vector<std::string>& includedFiles)
{
    ShaderPreprocessResult result;
    {
        const DataBlob file = dataLoadFile(path);
        if (!file) {
            LOG_ERROR("Failed to load shader file <%s>", path.c_str());
            return nullptr;
        }
        result = shaderPreprocessInclude(file.text(), path, defines, includedFiles);
    }

    if (!result.ok) {
        reportFailure(fmt::format("Failed to preprocess: <{0}> base path:<{1}>", path, folderOf(path)));
        for (const std::string& message : result.messages)
            reportFailure("  " + message);
        return nullptr;
    }

    if (result.text.find("#define DUMP_PREPROCESSED 1") != std::string::npos) {
        const std::string dumpName = fmt::format("{0}.pp", fileNameOf(path));
        LOG_INFO("Writing preprocessed shader source to <%s>", dumpName.c_str());
        if (FILE* dump = std::fopen(dumpName.c_str(), "wb")) {
            std::fwrite(result.text.data(), 1, result.text.size(), dump);
            std::fclose(dump);
        }
    }

    char* text = static_cast<char*>(std::malloc(result.text.size() + 1));
    if (!text) {
        LOG_ERROR("Out of memory for the preprocessed text of <%s>", path.c_str());
        return nullptr;
    }
    std::memcpy(text, result.text.data(), result.text.size());
    text[result.text.size()] = '\0';
    return text;
}
