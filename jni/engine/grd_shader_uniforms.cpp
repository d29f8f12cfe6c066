#include "jni/engine/grd_shader_uniforms.h"

#include "app/log.h"

#include <fmt/format.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

// ---- Tokens ----

enum class TokenKind { End, Identifier, IntConstant, FloatConstant, BoolConstant, Keyword, Operator };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string_view text;
    size_t offset = 0;
    int intValue = 0;
};

const std::unordered_map<std::string_view, UniformType>& uniformTypeKeywords()
{
    static const std::unordered_map<std::string_view, UniformType> types = {
        {"float", UNIFORM_TYPE_FLOAT},
        {"int", UNIFORM_TYPE_INT},
        {"uint", UNIFORM_TYPE_UINT},
        {"vec2", UNIFORM_TYPE_VEC2},
        {"vec3", UNIFORM_TYPE_VEC3},
        {"vec4", UNIFORM_TYPE_VEC4},
        // mat3x3 and mat4x4 are mat3 and mat4 under another name.
        {"mat3", UNIFORM_TYPE_MAT3},
        {"mat3x3", UNIFORM_TYPE_MAT3},
        {"mat4", UNIFORM_TYPE_MAT4},
        {"mat4x4", UNIFORM_TYPE_MAT4},
        {"sampler2D", UNIFORM_TYPE_SAMPLER2D},
        {"usampler2D", UNIFORM_TYPE_SAMPLER2D},
        {"sampler2DShadow", UNIFORM_TYPE_SAMPLER2D},
        {"samplerCube", UNIFORM_TYPE_SAMPLERCUBE},
        {"image2D", UNIFORM_TYPE_IMAGE2D},
        {"uimage2D", UNIFORM_TYPE_IMAGE2D},
        {"image3D", UNIFORM_TYPE_IMAGE3D},
        {"uimage3D", UNIFORM_TYPE_IMAGE3D},
        {"sampler3D", UNIFORM_TYPE_SAMPLER3D},
        {"usampler3D", UNIFORM_TYPE_SAMPLER3D},
        {"sampler2DArray", UNIFORM_TYPE_SAMPLER2DARRAY},
        {"usampler2DArray", UNIFORM_TYPE_SAMPLER2DARRAY},
        {"sampler2DArrayShadow", UNIFORM_TYPE_SAMPLER2DARRAY},
    };
    return types;
}

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

// Every built-in type name of GLSL 4.x.
const StringSet& typeKeywords()
{
    static const StringSet types = [] {
        StringSet set = {"void", "bool", "int", "uint", "float", "double", "atomic_uint"};
        for (const char* prefix : {"", "b", "i", "u", "d"})
            for (int n = 2; n <= 4; ++n)
                set.insert(fmt::format("{}vec{}", prefix, n));
        for (const char* prefix : {"", "d"})
            for (int c = 2; c <= 4; ++c) {
                set.insert(fmt::format("{}mat{}", prefix, c));
                for (int r = 2; r <= 4; ++r)
                    set.insert(fmt::format("{}mat{}x{}", prefix, c, r));
            }
        for (const char* prefix : {"", "i", "u"})
            for (const char* shape : {"1D", "1DArray", "2D", "2DArray", "2DRect", "2DMS", "2DMSArray", "3D", "Cube",
                                      "CubeArray", "Buffer"}) {
                set.insert(fmt::format("{}sampler{}", prefix, shape));
                set.insert(fmt::format("{}image{}", prefix, shape));
            }
        for (const char* shadow : {"sampler1DShadow", "sampler1DArrayShadow", "sampler2DShadow",
                                   "sampler2DArrayShadow", "sampler2DRectShadow", "samplerCubeShadow",
                                   "samplerCubeArrayShadow"})
            set.insert(shadow);
        return set;
    }();
    return types;
}

// Qualifiers that stand alone in a declaration's qualifier list ("layout" and "subroutine" take arguments).
const StringSet& qualifierKeywords()
{
    static const StringSet qualifiers = {
        "const",    "in",        "out",      "inout",   "centroid",      "patch",     "sample",
        "uniform",  "buffer",    "shared",   "coherent", "volatile",     "restrict",  "readonly",
        "writeonly", "flat",     "smooth",   "noperspective", "invariant", "precise",  "highp",
        "mediump",  "lowp"};
    return qualifiers;
}

bool isKeyword(std::string_view word)
{
    // Reserved words of older versions (attribute, varying, asm, class, ...) stay plain identifiers.
    static const StringSet others = {
        "layout", "subroutine", "precision", "struct",  "break", "continue", "do",     "for",
        "while",  "switch",     "case",      "default", "if",    "else",     "discard", "return"};
    return typeKeywords().contains(word) || qualifierKeywords().contains(word) || others.contains(word);
}

bool isIdentifierStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

struct SyntaxError {
    std::string message;
};

// Thrown for inputs that are no uniform declaration by design (block heads, function prototypes): no warning.
struct NotADeclaration {};

constexpr std::array<std::string_view, 2> kOperators3 = {"<<=", ">>="};
constexpr std::array<std::string_view, 19> kOperators2 = {"+=", "-=", "*=", "/=", "%=", "&=", "^=",
                                                          "|=", "<<", ">>", "<=", ">=", "==", "!=",
                                                          "&&", "||", "^^", "++", "--"};
constexpr std::string_view kOperators1 = "()[]{}.,:;=+-*/%<>&^|!~?";

std::vector<Token> tokenize(std::string_view s)
{
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        const std::string_view rest = s.substr(i);
        if (c == ' ' || c == '\t' || c == '\n') {
            ++i;
            continue;
        }
        if (rest.substr(0, 2) == "/*") {
            const size_t close = s.find("*/", i + 2);
            if (close == std::string_view::npos)
                throw SyntaxError{fmt::format("unterminated comment at column {}", i + 1)};
            i = close + 2;
            continue;
        }
        // "//" and "#" run to a line feed; without one, "//" is two divisions and "#" is an unknown character.
        if (rest.substr(0, 2) == "//" || c == '#') {
            const size_t lineFeed = s.find('\n', i);
            if (lineFeed != std::string_view::npos) {
                i = lineFeed + 1;
                continue;
            }
            if (c == '#') {
                ++i;
                continue;
            }
        }

        Token token;
        token.offset = i;
        if (isIdentifierStart(c)) {
            size_t end = i + 1;
            while (end < s.size() && (isIdentifierStart(s[end]) || isDigit(s[end])))
                ++end;
            token.text = s.substr(i, end - i);
            if (token.text == "true" || token.text == "false")
                token.kind = TokenKind::BoolConstant;
            else
                token.kind = isKeyword(token.text) ? TokenKind::Keyword : TokenKind::Identifier;
        } else if (isDigit(c)) {
            size_t end = i;
            while (end < s.size() && isDigit(s[end]))
                ++end;
            // Only digits "." digits is a float: exponents, suffixes and a bare "." are not part of the constant.
            if (end + 1 < s.size() && s[end] == '.' && isDigit(s[end + 1])) {
                end += 1;
                while (end < s.size() && isDigit(s[end]))
                    ++end;
                token.kind = TokenKind::FloatConstant;
            } else {
                long long value = 0;
                for (size_t k = i; k < end; ++k) {
                    value = value * 10 + (s[k] - '0');
                    if (value > INT_MAX)
                        throw SyntaxError{fmt::format("integer constant too large at column {}", i + 1)};
                }
                token.kind = TokenKind::IntConstant;
                token.intValue = static_cast<int>(value);
            }
            token.text = s.substr(i, end - i);
        } else {
            size_t length = 0;
            for (std::string_view op : kOperators3)
                if (rest.substr(0, 3) == op)
                    length = 3;
            for (std::string_view op : kOperators2)
                if (length == 0 && rest.substr(0, 2) == op)
                    length = 2;
            if (length == 0 && kOperators1.find(c) != std::string_view::npos)
                length = 1;
            if (length == 0) { // starts no token: ignored
                ++i;
                continue;
            }
            token.kind = TokenKind::Operator;
            token.text = s.substr(i, length);
        }
        i += token.text.size();
        tokens.push_back(token);
    }
    tokens.push_back(Token{TokenKind::End, {}, s.size(), 0});
    return tokens;
}

// ---- Parser ----

// What the first named declaration says; the rest of the input is only checked for syntax.
struct Declaration {
    bool found = false;
    std::string name;
    std::string_view typeKeyword; // empty for struct and user type names
    bool hasDimension = false;
    int dimension = -1; // the first dimension when it is a lone integer constant, else -1
    int imageBinding = -1;
};

// A recursive-descent recogniser for the declaration part of the GLSL 4.x grammar: qualifiers, layout lists, type
// specifiers with struct bodies, declarator lists, function prototypes and the full expression grammar of
// initializers. Function bodies are not read: the line scanner cuts every line at its first ";", so none arrives.
class Parser {
public:
    explicit Parser(const std::vector<Token>& tokens) : t_(tokens) {}

    Declaration parseTranslationUnit()
    {
        if (peek().kind == TokenKind::End)
            throw SyntaxError{"empty declaration"};
        while (peek().kind != TokenKind::End)
            externalDeclaration();
        return first_;
    }

private:
    static constexpr int kMaxNesting = 200;

    const std::vector<Token>& t_;
    size_t pos_ = 0;
    int nesting_ = 0;
    Declaration first_;

    struct Nest {
        Parser& p;
        explicit Nest(Parser& parser) : p(parser)
        {
            if (++p.nesting_ > kMaxNesting)
                throw SyntaxError{"expression nested too deeply"};
        }
        ~Nest() { --p.nesting_; }
    };

    const Token& peek(size_t ahead = 0) const { return t_[std::min(pos_ + ahead, t_.size() - 1)]; }
    bool is(std::string_view text, size_t ahead = 0) const
    {
        const Token& token = peek(ahead);
        return (token.kind == TokenKind::Operator || token.kind == TokenKind::Keyword) && token.text == text;
    }
    bool accept(std::string_view text)
    {
        if (!is(text))
            return false;
        ++pos_;
        return true;
    }
    [[noreturn]] void fail() const
    {
        const Token& token = peek();
        if (token.kind == TokenKind::End)
            throw SyntaxError{"unexpected end of declaration"};
        throw SyntaxError{fmt::format("unexpected '{}' at column {}", token.text, token.offset + 1)};
    }
    void expect(std::string_view text)
    {
        if (!accept(text))
            fail();
    }
    std::string_view expectIdentifier()
    {
        if (peek().kind != TokenKind::Identifier)
            fail();
        return t_[pos_++].text;
    }
    bool isTypeKeyword(size_t ahead = 0) const
    {
        return peek(ahead).kind == TokenKind::Keyword && typeKeywords().contains(peek(ahead).text);
    }

    void externalDeclaration()
    {
        if (accept(";"))
            return;
        if (accept("precision")) {
            if (!accept("highp") && !accept("mediump") && !accept("lowp"))
                fail();
            typeSpecifier(nullptr);
            expect(";");
            return;
        }
        Declaration decl;
        const bool qualified = qualifiers(&decl);
        if (qualified && accept(";"))
            return; // default qualifiers, such as "layout(std140) uniform;"
        if (qualified && peek().kind == TokenKind::Identifier) {
            if (is("{", 1))
                throw NotADeclaration{}; // the head of a block
            if (is(",", 1) || is(";", 1)) { // qualifiers applied to variables declared elsewhere
                expectIdentifier();
                while (accept(","))
                    expectIdentifier();
                expect(";");
                return;
            }
        }
        typeSpecifier(&decl);
        if (accept(";"))
            return; // a type without a variable
        const std::string_view name = expectIdentifier();
        if (is("(")) {
            functionPrototype();
            return;
        }
        declaratorRest(&decl);
        while (accept(",")) {
            expectIdentifier();
            declaratorRest(nullptr);
        }
        expect(";");
        if (!first_.found) {
            decl.found = true;
            decl.name = std::string(name);
            first_ = decl;
        }
    }

    // Array dimensions and initializer after a declarator's name. decl is null for declarators after the first.
    void declaratorRest(Declaration* decl)
    {
        if (is("["))
            arraySpecifier(decl);
        if (accept("="))
            initializer(); // syntax only: see buildDescriptor
    }

    bool qualifiers(Declaration* decl)
    {
        bool any = false;
        for (;;) {
            if (accept("layout")) {
                expect("(");
                do
                    layoutQualifierId(decl);
                while (accept(","));
                expect(")");
            } else if (accept("subroutine")) {
                if (accept("(")) {
                    do
                        expectIdentifier();
                    while (accept(","));
                    expect(")");
                }
            } else if (peek().kind == TokenKind::Keyword && qualifierKeywords().contains(peek().text)) {
                ++pos_;
            } else {
                return any;
            }
            any = true;
        }
    }

    void layoutQualifierId(Declaration* decl)
    {
        if (accept("shared"))
            return;
        const std::string_view id = expectIdentifier();
        if (accept("=")) {
            const int value = constantExpression();
            // Only a plain integer is taken as a binding; the last "binding" of the list wins.
            if (id == "binding" && value >= 0 && decl)
                decl->imageBinding = value;
        }
    }

    void typeSpecifier(Declaration* decl)
    {
        if (isTypeKeyword()) {
            if (decl)
                decl->typeKeyword = peek().text;
            ++pos_;
        } else if (accept("struct")) {
            structBody();
        } else {
            expectIdentifier(); // a user type name
        }
        if (is("["))
            arraySpecifier(decl);
    }

    void structBody()
    {
        if (peek().kind == TokenKind::Identifier)
            ++pos_;
        expect("{");
        do {
            qualifiers(nullptr);
            typeSpecifier(nullptr);
            do {
                expectIdentifier();
                if (is("["))
                    arraySpecifier(nullptr);
            } while (accept(","));
            expect(";");
        } while (!accept("}"));
    }

    void functionPrototype()
    {
        expect("(");
        if (!accept(")")) {
            if (is("void") && is(")", 1)) {
                ++pos_;
            } else {
                do {
                    qualifiers(nullptr);
                    typeSpecifier(nullptr);
                    if (peek().kind == TokenKind::Identifier) {
                        ++pos_;
                        if (is("["))
                            arraySpecifier(nullptr);
                    }
                } while (accept(","));
            }
            expect(")");
        }
        if (is("{"))
            throw NotADeclaration{}; // a function definition
        expect(";");
    }

    // Records the first dimension of the first declaration: its value when it is a lone integer constant.
    void arraySpecifier(Declaration* decl)
    {
        while (accept("[")) {
            int value = -1;
            if (!accept("]")) {
                value = constantExpression();
                expect("]");
            }
            if (decl && !decl->hasDimension) {
                decl->hasDimension = true;
                decl->dimension = value;
            }
        }
    }

    // ---- Expressions ----

    // Returns the value when the expression is one integer constant, else -1.
    int constantExpression()
    {
        const size_t start = pos_;
        conditional();
        return pos_ == start + 1 && t_[start].kind == TokenKind::IntConstant ? t_[start].intValue : -1;
    }

    void initializer()
    {
        Nest nest(*this);
        if (accept("{")) {
            do {
                if (is("}"))
                    break; // a trailing comma
                initializer();
            } while (accept(","));
            expect("}");
            return;
        }
        assignment();
    }

    void expression()
    {
        do
            assignment();
        while (accept(","));
    }

    void assignment()
    {
        Nest nest(*this);
        const bool unary = conditional();
        static constexpr std::array<std::string_view, 11> kAssign = {"=",  "*=", "/=", "%=",  "+=", "-=",
                                                                     "<<=", ">>=", "&=", "^=", "|="};
        for (std::string_view op : kAssign) {
            if (is(op)) {
                if (!unary)
                    fail();
                ++pos_;
                assignment();
                return;
            }
        }
    }

    // True when what was read is a unary expression, the only left side an assignment may have.
    bool conditional()
    {
        bool unary = binary(0);
        if (accept("?")) {
            expression();
            expect(":");
            assignment();
            unary = false;
        }
        return unary;
    }

    bool binary(int level)
    {
        static constexpr std::array<std::array<std::string_view, 4>, 11> kLevels = {{
            {"||"}, {"^^"}, {"&&"}, {"|"}, {"^"}, {"&"}, {"==", "!="}, {"<", ">", "<=", ">="}, {"<<", ">>"},
            {"+", "-"}, {"*", "/", "%"},
        }};
        if (level == static_cast<int>(kLevels.size())) {
            unary();
            return true;
        }
        bool onlyOperand = binary(level + 1);
        for (;;) {
            bool matched = false;
            for (std::string_view op : kLevels[level])
                if (!op.empty() && is(op))
                    matched = true;
            if (!matched)
                return onlyOperand;
            ++pos_;
            binary(level + 1);
            onlyOperand = false;
        }
    }

    void unary()
    {
        Nest nest(*this);
        if (accept("++") || accept("--") || accept("+") || accept("-") || accept("!") || accept("~")) {
            unary();
            return;
        }
        postfix();
    }

    void postfix()
    {
        primary();
        for (;;) {
            if (accept("[")) {
                expression();
                expect("]");
            } else if (accept(".")) {
                expectIdentifier();
            } else if (accept("++") || accept("--")) {
            } else if (is("(")) {
                callArguments();
            } else {
                return;
            }
        }
    }

    void primary()
    {
        const Token& token = peek();
        switch (token.kind) {
        case TokenKind::Identifier:
        case TokenKind::IntConstant:
        case TokenKind::FloatConstant:
        case TokenKind::BoolConstant:
            ++pos_;
            return;
        default:
            break;
        }
        if (accept("(")) {
            expression();
            expect(")");
            return;
        }
        if (isTypeKeyword()) { // a constructor such as vec3(...) or float[2](...)
            ++pos_;
            if (is("["))
                arraySpecifier(nullptr);
            if (!is("("))
                fail();
            return; // postfix reads the arguments
        }
        fail();
    }

    void callArguments()
    {
        expect("(");
        if (accept(")"))
            return;
        if (is("void") && is(")", 1)) {
            pos_ += 2;
            return;
        }
        do
            assignment();
        while (accept(","));
        expect(")");
    }
};

enum class ParseOutcome { Ok, NotAUniform, Invalid };

ParseOutcome buildDescriptor(std::string_view declaration, ShaderUniform& uniform, std::string& error)
{
    Declaration decl;
    std::vector<Token> tokens;
    try {
        tokens = tokenize(declaration);
        decl = Parser(tokens).parseTranslationUnit();
    } catch (const SyntaxError& e) {
        error = e.message;
        return ParseOutcome::Invalid;
    } catch (const NotADeclaration&) {
        return ParseOutcome::NotAUniform;
    }

    bool hasUniform = false;
    for (const Token& token : tokens)
        hasUniform = hasUniform || (token.kind == TokenKind::Keyword && token.text == "uniform");
    if (!hasUniform || !decl.found)
        return ParseOutcome::NotAUniform;

    // A dimension given by a macro or an expression has no size here; the uniform counts as one element.
    int arraySize = decl.hasDimension && decl.dimension >= 0 ? decl.dimension : 1;
    if (arraySize == 0 || arraySize > kUniformMaxArraySize) {
        error = fmt::format("array size {} outside 1 .. {}", arraySize, kUniformMaxArraySize);
        return ParseOutcome::Invalid;
    }

    const auto& types = uniformTypeKeywords();
    const auto type = types.find(decl.typeKeyword);
    uniform.name = decl.name;
    uniform.location = 0;
    uniform.isArray = decl.hasDimension;
    uniform.arraySize = arraySize;
    uniform.type = type == types.end() ? UNIFORM_TYPE_UNKNOWN : type->second;
    uniform.byteSize = shaderUniformElementSize(uniform.type) * arraySize;
    uniform.allocateValue(static_cast<size_t>(uniform.byteSize));

    if ((uniform.type == UNIFORM_TYPE_IMAGE2D || uniform.type == UNIFORM_TYPE_IMAGE3D) && decl.imageBinding >= 0)
        static_cast<int*>(uniform.value)[0] = decl.imageBinding;

    // Initializers are read for their syntax only and the value stays zero: copying the literals would get "-1.0",
    // "vec3(0.5)" and the like wrong and then override the shader's own defaults on every bind. The program build
    // takes the initial values from the linked GL program instead.
    return ParseOutcome::Ok;
}

} // namespace

int shaderUniformElementSize(UniformType type)
{
    switch (type) {
    case UNIFORM_TYPE_FLOAT:
    case UNIFORM_TYPE_INT:
    case UNIFORM_TYPE_UINT:
    case UNIFORM_TYPE_SAMPLER2D:
    case UNIFORM_TYPE_SAMPLERCUBE:
    case UNIFORM_TYPE_IMAGE2D:
    case UNIFORM_TYPE_IMAGE3D:
    case UNIFORM_TYPE_SAMPLER3D:
    case UNIFORM_TYPE_SAMPLER2DARRAY:
        return 4;
    case UNIFORM_TYPE_VEC2:
        return 8;
    case UNIFORM_TYPE_VEC3:
        return 12;
    case UNIFORM_TYPE_VEC4:
        return 16;
    case UNIFORM_TYPE_MAT3:
        return 36;
    case UNIFORM_TYPE_MAT4:
        return 64;
    default:
        return 0;
    }
}

ShaderUniform::~ShaderUniform()
{
    std::free(value);
}

void ShaderUniform::allocateValue(size_t bytes)
{
    std::free(value);
    value = bytes ? std::calloc(bytes, 1) : nullptr;
}

bool glslParseUniformDeclaration(const char* declaration, ShaderUniform& uniform)
{
    if (!declaration)
        return false;
    std::string error;
    return buildDescriptor(declaration, uniform, error) == ParseOutcome::Ok;
}

std::vector<ShaderUniform*> shaderParseUniformDeclarations(const char* text)
{
    std::vector<ShaderUniform*> uniforms;
    if (!text)
        return uniforms;
    const char* p = text;
    while (*p) {
        if (*p == '\n') { // an empty line, with a carriage return after it
            ++p;
            if (*p == '\r')
                ++p;
            continue;
        }
        const char* lineFeed = std::strchr(p, '\n');
        if (!lineFeed)
            break; // text after the last line feed is not read
        std::string_view line(p, static_cast<size_t>(lineFeed - p));
        p = lineFeed + 1;
        if (*p == '\r')
            ++p;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        const std::string_view cut = line.substr(0, line.find(';'));
        const bool candidate = cut.substr(0, 7) == "uniform" ||
                               (cut.substr(0, 6) == "layout" && cut.find("uniform") != std::string_view::npos);
        if (!candidate)
            continue;
        if (cut.size() > kUniformMaxDeclarationLength) {
            LOG_WARNING("Uniform declaration of %zu characters not read (at most %zu): <%.64s...>", cut.size(),
                        kUniformMaxDeclarationLength, std::string(cut.substr(0, 64)).c_str());
            continue;
        }

        const std::string declaration = std::string(cut) + ";";
        auto* uniform = new ShaderUniform;
        std::string error;
        const ParseOutcome outcome = buildDescriptor(declaration, *uniform, error);
        if (outcome == ParseOutcome::Ok) {
            uniforms.push_back(uniform);
            continue;
        }
        delete uniform;
        // Block heads, split declarations and non-uniform layout lines are expected; broken syntax is not.
        if (outcome == ParseOutcome::Invalid)
            LOG_WARNING("Uniform declaration not read <%s>: %s", declaration.c_str(), error.c_str());
    }
    return uniforms;
}
