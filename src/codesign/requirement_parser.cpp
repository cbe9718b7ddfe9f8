// The requirement language:
//   expr    := term ("or" term)*
//   term    := primary ("and" primary)*
//   primary := "(" expr ")" | "!" primary | always | true | never | false
//            | identifier ["="] string | cdhash hash | info "[" key "]" match
//            | entitlement "[" key "]" match | anchor apple [generic] | anchor trusted
//            | (certificate | cert) slot (= hash | "[" key "]" match | trusted)
//   slot    := integer | leaf | root
//   match   := exists | absent | ("=" | "==" | "~" | "<" | ">" | "<=" | ">=") string
// Strings are double-quoted with backslash escapes, or bare dotted words; hashes are H"hex".
// Comments: /* ... */ and // to the end of the line.

#include <algorithm>
#include <cctype>
#include <charconv>

#include "codesign/requirement.h"
#include "codesign/status.h"

namespace tessuro::codesign {
namespace {

using Node = RequirementNode;
using Kind = RequirementNode::Kind;
using Op = RequirementNode::Match::Op;

struct Token {
    enum class Type { End, Word, String, Hash, Symbol };
    Type type = Type::End;
    std::string text;
    std::size_t position = 0;  // 1-based
};

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) {}

    Token next() {
        skipSpaceAndComments();
        Token token;
        token.position = at_ + 1;
        if (at_ >= text_.size()) {
            return token;
        }
        char c = text_[at_];
        if (c == 'H' && at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
            ++at_;
            token.type = Token::Type::Hash;
            token.text = quoted(token.position);
            return token;
        }
        if (c == '"') {
            token.type = Token::Type::String;
            token.text = quoted(token.position);
            return token;
        }
        if (isWordChar(c) || c == '-') {
            token.type = Token::Type::Word;
            while (at_ < text_.size() && (isWordChar(text_[at_]) || text_[at_] == '-')) {
                token.text.push_back(text_[at_++]);
            }
            return token;
        }
        token.type = Token::Type::Symbol;
        static constexpr std::string_view kTwo[] = {"==", "<=", ">="};
        for (std::string_view two : kTwo) {
            if (text_.substr(at_, 2) == two) {
                token.text = two;
                at_ += 2;
                return token;
            }
        }
        if (std::string_view("()[]!=~<>").find(c) == std::string_view::npos) {
            fail(token.position, std::string("unexpected character '") + c + "'");
        }
        token.text = std::string(1, c);
        ++at_;
        return token;
    }

    [[noreturn]] static void fail(std::size_t position, const std::string& what) {
        throw codesignError(
            codesign_code::kRequirementSyntax,
            "requirement syntax error at position " + std::to_string(position) + ": " + what);
    }

private:
    static bool isWordChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '*' ||
               c == '/' || c == ':';
    }

    void skipSpaceAndComments() {
        for (;;) {
            while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) {
                ++at_;
            }
            if (text_.substr(at_, 2) == "//") {
                while (at_ < text_.size() && text_[at_] != '\n') {
                    ++at_;
                }
            } else if (text_.substr(at_, 2) == "/*") {
                std::size_t end = text_.find("*/", at_ + 2);
                if (end == std::string_view::npos) {
                    fail(at_ + 1, "unterminated comment");
                }
                at_ = end + 2;
            } else {
                return;
            }
        }
    }

    std::string quoted(std::size_t position) {
        ++at_;  // the opening quote
        std::string value;
        while (at_ < text_.size() && text_[at_] != '"') {
            if (text_[at_] == '\\' && at_ + 1 < text_.size()) {
                ++at_;
            }
            value.push_back(text_[at_++]);
        }
        if (at_ >= text_.size()) {
            fail(position, "unterminated string");
        }
        ++at_;  // the closing quote
        return value;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// How deep clauses may nest: open parentheses and negations, and the operators on the way
// from the top of the tree to a clause, where every "and" or "or" joining a clause to
// those before it is one more. Real requirements nest a few levels; the limit keeps the
// parser, the evaluator and the tree's destruction, which all recurse, far from the end of
// a thread's stack.
constexpr std::size_t kMaxDepth = 512;

class Parser {
public:
    explicit Parser(std::string_view text) : lexer_(text) { advance(); }

    std::unique_ptr<Node> parseAll() {
        auto node = expression();
        if (current_.type != Token::Type::End) {
            unexpected("end of requirement");
        }
        return std::move(node.node);
    }

private:
    // A parsed clause and the number of operators above its deepest clause.
    struct Parsed {
        std::unique_ptr<Node> node;
        std::size_t depth = 0;
    };

    // One level deeper, refused past the limit at the operator at `position`.
    static std::size_t deeper(std::size_t depth, std::size_t position) {
        if (depth >= kMaxDepth) {
            Lexer::fail(position, "nested deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        return depth + 1;
    }

    void advance() { current_ = lexer_.next(); }

    bool isWord(std::string_view word) const {
        return current_.type == Token::Type::Word && current_.text == word;
    }
    bool isSymbol(std::string_view symbol) const {
        return current_.type == Token::Type::Symbol && current_.text == symbol;
    }

    [[noreturn]] void unexpected(const std::string& expected) const {
        std::string found =
            current_.type == Token::Type::End ? "the end" : "'" + current_.text + "'";
        Lexer::fail(current_.position, "expected " + expected + ", found " + found);
    }

    void expectSymbol(std::string_view symbol) {
        if (!isSymbol(symbol)) {
            unexpected("'" + std::string(symbol) + "'");
        }
        advance();
    }

    static std::unique_ptr<Node> make(Kind kind) {
        auto node = std::make_unique<Node>();
        node->kind = kind;
        return node;
    }

    // `first`, then clauses of `next()` joined to it by `word` for as long as it follows.
    template <class Next>
    Parsed chain(Parsed first, std::string_view word, Kind kind, Next next) {
        while (isWord(word)) {
            std::size_t position = current_.position;
            advance();
            Parsed second = (this->*next)();
            Parsed joined{make(kind), deeper(std::max(first.depth, second.depth), position)};
            joined.node->left = std::move(first.node);
            joined.node->right = std::move(second.node);
            first = std::move(joined);
        }
        return first;
    }

    Parsed expression() { return chain(term(), "or", Kind::Or, &Parser::term); }

    Parsed term() { return chain(primary(), "and", Kind::And, &Parser::primary); }

    std::string string() {
        if (current_.type != Token::Type::String && current_.type != Token::Type::Word) {
            unexpected("a string");
        }
        std::string value = current_.text;
        advance();
        return value;
    }

    Bytes hash() {
        if (current_.type != Token::Type::Hash) {
            unexpected("a hash H\"...\"");
        }
        const std::string& hex = current_.text;
        if (hex.empty() || hex.size() % 2 != 0) {
            Lexer::fail(current_.position, "a hash needs an even number of hexadecimal digits");
        }
        Bytes bytes;
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            unsigned value = 0;
            auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
            if (error != std::errc() || end != hex.data() + i + 2) {
                Lexer::fail(current_.position, "invalid hexadecimal digit in hash");
            }
            bytes.push_back(static_cast<std::uint8_t>(value));
        }
        advance();
        return bytes;
    }

    std::string key() {
        expectSymbol("[");
        std::string value = string();
        expectSymbol("]");
        return value;
    }

    RequirementNode::Match match() {
        RequirementNode::Match m;
        if (isWord("exists")) {
            advance();
            m.op = Op::Exists;
            return m;
        }
        if (isWord("absent")) {
            advance();
            m.op = Op::Absent;
            return m;
        }
        if (isSymbol("=") || isSymbol("==")) {
            advance();
            std::string value = string();
            bool front = !value.empty() && value.front() == '*';
            bool back = value.size() > 1 && value.back() == '*';
            if (front && back) {
                m.op = Op::Contains;
                m.value = value.substr(1, value.size() - 2);
            } else if (front) {
                m.op = Op::EndsWith;
                m.value = value.substr(1);
            } else if (back) {
                m.op = Op::BeginsWith;
                m.value = value.substr(0, value.size() - 1);
            } else {
                m.op = Op::Equal;
                m.value = value;
            }
            return m;
        }
        static const std::pair<std::string_view, Op> kOps[] = {{"~", Op::Regex},
                                                               {"<", Op::Less},
                                                               {">", Op::Greater},
                                                               {"<=", Op::LessEqual},
                                                               {">=", Op::GreaterEqual}};
        for (const auto& [symbol, op] : kOps) {
            if (isSymbol(symbol)) {
                advance();
                m.op = op;
                m.value = string();
                return m;
            }
        }
        unexpected("a match (exists, absent, =, ~, <, >, <=, >=)");
    }

    int certificateSlot() {
        if (isWord("leaf")) {
            advance();
            return 0;
        }
        if (isWord("root")) {
            advance();
            return -1;
        }
        if (current_.type == Token::Type::Word) {
            int slot = 0;
            const std::string& t = current_.text;
            auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), slot);
            if (error == std::errc() && end == t.data() + t.size()) {
                advance();
                return slot;
            }
        }
        unexpected("a certificate (a number, leaf or root)");
    }

    // Parentheses and negations recurse: they count against the limit while they are open.
    Parsed primary() {
        if (isSymbol("(") || isSymbol("!")) {
            const bool negation = isSymbol("!");
            const std::size_t position = current_.position;
            open_ = deeper(open_, position);
            advance();
            Parsed inner = negation ? primary() : expression();
            if (!negation) {
                expectSymbol(")");
            }
            --open_;
            if (!negation) {
                return inner;
            }
            Parsed node{make(Kind::Not), deeper(inner.depth, position)};
            node.node->left = std::move(inner.node);
            return node;
        }
        return Parsed{clause()};
    }

    std::unique_ptr<Node> clause() {
        if (current_.type != Token::Type::Word) {
            unexpected("a requirement clause");
        }
        const std::string word = current_.text;
        const std::size_t wordPosition = current_.position;
        advance();
        if (word == "always" || word == "true") {
            return make(Kind::Always);
        }
        if (word == "never" || word == "false") {
            return make(Kind::Never);
        }
        if (word == "identifier") {
            return identifierClause();
        }
        if (word == "cdhash") {
            auto node = make(Kind::CdHash);
            node->hash = hash();
            return node;
        }
        if (word == "info" || word == "entitlement") {
            auto node = make(word == "info" ? Kind::Info : Kind::Entitlement);
            node->text = key();
            node->match = match();
            return node;
        }
        if (word == "anchor") {
            return anchorClause();
        }
        if (word == "certificate" || word == "cert") {
            return certificateClause();
        }
        Lexer::fail(wordPosition, "unknown clause '" + word + "'");
    }

    std::unique_ptr<Node> identifierClause() {
        auto node = make(Kind::Identifier);
        if (isSymbol("=")) {
            advance();
        }
        node->text = string();
        return node;
    }

    std::unique_ptr<Node> anchorClause() {
        if (isWord("apple")) {
            advance();
            if (isWord("generic")) {
                advance();
                return make(Kind::AnchorAppleGeneric);
            }
            return make(Kind::AnchorApple);
        }
        if (isWord("trusted")) {
            advance();
            return make(Kind::AnchorTrusted);
        }
        unexpected("'apple' or 'trusted' after 'anchor'");
    }

    // After "certificate <slot>": "= hash", "trusted", or "[key] match".
    std::unique_ptr<Node> certificateClause() {
        const int slot = certificateSlot();
        std::unique_ptr<Node> node;
        if (isSymbol("=")) {
            advance();
            node = make(Kind::CertificateHash);
            node->hash = hash();
        } else if (isWord("trusted")) {
            advance();
            node = make(Kind::CertificateTrusted);
        } else {
            node = make(Kind::CertificateField);
            node->text = key();
            node->match = match();
        }
        node->certificate = slot;
        return node;
    }

    Lexer lexer_;
    Token current_;
    std::size_t open_ = 0;  // parentheses and negations being parsed
};

}  // namespace

std::unique_ptr<RequirementNode> parseRequirement(std::string_view text) {
    return Parser(text).parseAll();
}

}  // namespace tessuro::codesign
