#include "base/cjson_object.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace neb {

struct CJsonObject::Item {
    enum Type {
        kFalse = 0,
        kTrue = 1,
        kNull = 2,
        kInteger = 3,
        kDouble = 4,
        kString = 5,
        kArray = 6,
        kObject = 7
    };

    Type type = kNull;
    std::string name;
    std::string text;      // string value
    uint64_t integer = 0;  // two's complement when sign is -1
    int sign = -1;         // -1: negative or added through add; 1: parsed non-negative
    double number = 0;
    std::vector<std::unique_ptr<Item>> children;

    std::unique_ptr<Item> clone() const { return std::make_unique<Item>(*this); }

    Item() = default;
    Item(const Item& other)
        : type(other.type),
          name(other.name),
          text(other.text),
          integer(other.integer),
          sign(other.sign),
          number(other.number) {
        children.reserve(other.children.size());
        for (const auto& c : other.children) children.push_back(c->clone());
    }
};

namespace {

using Item = CJsonObject::Item;

// Deeper input is refused rather than risking the stack.
constexpr int kMaxDepth = 512;

// JSON's two-character escapes: the letter after the backslash and the character it
// stands for. Printing writes these; any other control character becomes \u00XX.
struct ShortEscape {
    char letter;
    char value;
};
constexpr ShortEscape kShortEscapes[] = {{'"', '"'},  {'\\', '\\'}, {'b', '\b'}, {'f', '\f'},
                                         {'n', '\n'}, {'r', '\r'},  {'t', '\t'}};

// The character `letter` stands for after a backslash; the letter itself where it names
// no escape (\/, and the lenient reading of any other).
char unescaped(char letter) {
    for (const auto& escape : kShortEscapes) {
        if (escape.letter == letter) return escape.value;
    }
    return letter;
}

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    std::unique_ptr<Item> parse_document() {
        auto item = std::make_unique<Item>();
        if (!parse_value(*item, 0)) return nullptr;
        return item;
    }

    size_t error_position() const { return error_; }

private:
    bool fail(size_t at) {
        error_ = at;
        return false;
    }
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool at_end() const { return pos_ >= text_.size(); }
    void skip_space() {
        while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) <= 32) ++pos_;
    }
    bool literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (text_.compare(pos_, n, word) != 0) return false;
        pos_ += n;
        return true;
    }

    bool parse_value(Item& item, int depth) {
        skip_space();
        if (at_end()) return fail(pos_);
        const char c = peek();
        if (c == '"') {
            item.type = Item::kString;
            return parse_string(item.text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) return parse_number(item);
        if (c == '[' || c == '{') {
            if (depth >= kMaxDepth) return fail(pos_);
            return c == '[' ? parse_array(item, depth) : parse_object(item, depth);
        }
        if (literal("null")) {
            item.type = Item::kNull;
            return true;
        }
        if (literal("false")) {
            item.type = Item::kFalse;
            return true;
        }
        if (literal("true")) {
            item.type = Item::kTrue;
            return true;
        }
        return fail(pos_);
    }

    static bool is_digit(char c) { return c >= '0' && c <= '9'; }

    bool parse_number(Item& item) {
        const size_t start = pos_;
        const bool negative = peek() == '-';
        if (negative) ++pos_;
        if (!is_digit(peek())) return fail(pos_);
        // A leading zero stands alone: "012" is the number 0 followed by other text.
        if (peek() == '0') {
            ++pos_;
        } else {
            while (is_digit(peek())) ++pos_;
        }
        const size_t integer_end = pos_;
        bool fraction = false;
        if (peek() == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])) {
            ++pos_;
            fraction = true;
            while (is_digit(peek())) ++pos_;
        }
        bool nonzero_exponent = false;
        if (peek() == 'e' || peek() == 'E') {
            size_t p = pos_ + 1;
            if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
            if (p < text_.size() && is_digit(text_[p])) {
                for (; p < text_.size() && is_digit(text_[p]); ++p) {
                    if (text_[p] != '0') nonzero_exponent = true;
                }
                pos_ = p;
            }
        }
        if (!fraction && !nonzero_exponent) {
            const std::string whole = text_.substr(start, integer_end - start);
            errno = 0;
            if (negative) {
                long long value = std::strtoll(whole.c_str(), nullptr, 10);
                if (errno == 0) {
                    item.type = Item::kInteger;
                    item.integer = static_cast<uint64_t>(value);
                    item.sign = -1;
                    return true;
                }
            } else {
                unsigned long long value = std::strtoull(whole.c_str(), nullptr, 10);
                if (errno == 0) {
                    item.type = Item::kInteger;
                    item.integer = value;
                    item.sign = 1;
                    return true;
                }
            }
            // Beyond 64 bits an integer cannot be held exactly; keep it as a double.
        }
        item.type = Item::kDouble;
        item.number = std::strtod(text_.substr(start, pos_ - start).c_str(), nullptr);
        return true;
    }

    int hex_quad(size_t at) const {
        if (at + 4 > text_.size()) return -1;
        int value = 0;
        for (size_t i = at; i < at + 4; ++i) {
            const char c = text_[i];
            int digit;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                return -1;
            }
            value = value * 16 + digit;
        }
        return value;
    }

    static void append_utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else if (cp < 0x800) {
            out.push_back(char(0xc0 | (cp >> 6)));
            out.push_back(char(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            out.push_back(char(0xe0 | (cp >> 12)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(char(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(char(0xf0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3f)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(char(0x80 | (cp & 0x3f)));
        }
    }

    bool parse_string(std::string& out) {
        ++pos_;  // opening quote
        for (;;) {
            if (at_end()) return fail(pos_);
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            // Control characters must be written as escapes; a raw one is a broken string.
            if (static_cast<unsigned char>(c) < 0x20) return fail(pos_);
            if (c != '\\') {
                out.push_back(c);
                ++pos_;
                continue;
            }
            const size_t escape = pos_;
            if (++pos_ >= text_.size()) return fail(pos_);
            const char e = text_[pos_++];
            if (e != 'u') {
                out.push_back(unescaped(e));
                continue;
            }
            int unit = hex_quad(pos_);
            if (unit < 0) return fail(escape);
            pos_ += 4;
            uint32_t cp = uint32_t(unit);
            if (cp >= 0xdc00 && cp <= 0xdfff) return fail(escape);
            if (cp >= 0xd800 && cp <= 0xdbff) {
                if (text_.compare(pos_, 2, "\\u") != 0) return fail(escape);
                int low = hex_quad(pos_ + 2);
                if (low < 0xdc00 || low > 0xdfff) return fail(escape);
                pos_ += 6;
                cp = 0x10000 + ((cp - 0xd800) << 10) + (uint32_t(low) - 0xdc00);
            }
            append_utf8(out, cp);
        }
    }

    // The walk both containers share: the opening bracket at pos_, then elements split by
    // ',' up to `close`. parse_element fills a fresh child, kept only when it succeeds.
    template <typename ParseElement>
    bool parse_container(Item& item, Item::Type type, char close, ParseElement&& parse_element) {
        item.type = type;
        ++pos_;
        skip_space();
        if (peek() == close) {
            ++pos_;
            return true;
        }
        for (;;) {
            auto child = std::make_unique<Item>();
            if (!parse_element(*child)) return false;
            item.children.push_back(std::move(child));
            skip_space();
            if (at_end()) return fail(pos_);
            if (peek() == ',') {
                ++pos_;
            } else if (peek() == close) {
                ++pos_;
                return true;
            } else {
                return fail(pos_);
            }
        }
    }

    bool parse_array(Item& item, int depth) {
        return parse_container(item, Item::kArray, ']',
                               [&](Item& element) { return parse_value(element, depth + 1); });
    }

    bool parse_object(Item& item, int depth) {
        return parse_container(item, Item::kObject, '}', [&](Item& member) {
            skip_space();
            if (peek() != '"') return fail(pos_);
            if (!parse_string(member.name)) return false;
            skip_space();
            if (peek() != ':') return fail(pos_);
            ++pos_;
            return parse_value(member, depth + 1);
        });
    }

    const std::string& text_;
    size_t pos_ = 0;
    size_t error_ = 0;
};

// The letter that escapes `c` after a backslash; '\0' where it has no short escape.
char escape_letter(char c) {
    for (const auto& escape : kShortEscapes) {
        if (escape.value == c) return escape.letter;
    }
    return '\0';
}

void print_string(std::string& out, const std::string& s) {
    out.push_back('"');
    for (char c : s) {
        const auto byte = static_cast<unsigned char>(c);
        if (const char letter = escape_letter(c); letter != '\0') {
            out.push_back('\\');
            out.push_back(letter);
        } else if (byte < 32) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

void print_number(std::string& out, const Item& item) {
    char buffer[64];
    if (item.type == Item::kInteger) {
        if (item.sign == -1) {
            std::snprintf(buffer, sizeof(buffer), "%lld", static_cast<long long>(item.integer));
        } else if (item.integer <= 4294967295ULL) {
            std::snprintf(buffer, sizeof(buffer), "%u", static_cast<unsigned>(item.integer));
        } else {
            std::snprintf(buffer, sizeof(buffer), "%llu",
                          static_cast<unsigned long long>(item.integer));
        }
        out += buffer;
        return;
    }
    const double d = item.number;
    if (!std::isfinite(d)) {
        // Out-of-range input such as 1e999; JSON has no text for it.
        out += "null";
        return;
    }
    // Large values need more than 64 characters in %f.
    std::string text(std::snprintf(nullptr, 0, "%.0f", d) + 16, '\0');
    int n;
    if (d - std::floor(d) <= 2.220446049250313e-16) {
        n = std::snprintf(text.data(), text.size(), "%.0f", d);
    } else {
        n = std::snprintf(text.data(), text.size(), "%f", d);
    }
    text.resize(size_t(n));
    out += text;
}

void print_item(std::string& out, const Item& item, int depth, bool formatted) {
    switch (item.type) {
        case Item::kFalse:
            out += "false";
            break;
        case Item::kTrue:
            out += "true";
            break;
        case Item::kNull:
            out += "null";
            break;
        case Item::kInteger:
        case Item::kDouble:
            print_number(out, item);
            break;
        case Item::kString:
            print_string(out, item.text);
            break;
        case Item::kArray:
            out.push_back('[');
            for (size_t i = 0; i < item.children.size(); ++i) {
                if (i > 0) out += formatted ? ", " : ",";
                print_item(out, *item.children[i], depth + 1, formatted);
            }
            out.push_back(']');
            break;
        case Item::kObject:
            out.push_back('{');
            if (formatted) out.push_back('\n');
            for (size_t i = 0; i < item.children.size(); ++i) {
                const Item& member = *item.children[i];
                if (formatted) out.append(size_t(depth + 1), '\t');
                print_string(out, member.name);
                out.push_back(':');
                if (formatted) out.push_back('\t');
                print_item(out, member, depth + 1, formatted);
                if (i + 1 < item.children.size()) out.push_back(',');
                if (formatted) out.push_back('\n');
            }
            if (formatted) out.append(size_t(depth), '\t');
            out.push_back('}');
            break;
    }
}

std::unique_ptr<Item> integer_item(int64_t value) {
    auto item = std::make_unique<Item>();
    item->type = Item::kInteger;
    item->integer = static_cast<uint64_t>(value);
    item->sign = -1;
    return item;
}

// The value of an integer item, if it fits in a signed 64-bit integer.
bool integer_value(const Item* item, int64_t& value) {
    if (item == nullptr || item->type != Item::kInteger) return false;
    if (item->sign == 1 && item->integer > uint64_t(std::numeric_limits<int64_t>::max())) {
        return false;
    }
    value = static_cast<int64_t>(item->integer);
    return true;
}

}  // namespace

CJsonObject::CJsonObject() = default;

CJsonObject::CJsonObject(const std::string& text) { parse(text); }

CJsonObject::CJsonObject(Item* item) : item_(item) {}

CJsonObject::CJsonObject(const CJsonObject& other) : error_(other.error_) {
    if (other.item_ != nullptr) {
        root_ = other.item_->clone();
        root_->name.clear();
        item_ = root_.get();
    }
}

CJsonObject& CJsonObject::operator=(const CJsonObject& other) {
    if (this == &other) return *this;
    CJsonObject copy(other);
    clear();
    root_ = std::move(copy.root_);
    item_ = root_.get();
    error_ = other.error_;
    return *this;
}

CJsonObject::~CJsonObject() = default;

void CJsonObject::clear() {
    named_children_.clear();
    indexed_children_.clear();
    root_.reset();
    item_ = nullptr;
}

void CJsonObject::point_to(Item* item) {
    clear();
    item_ = item;
}

bool CJsonObject::parse(const std::string& text) {
    clear();
    error_.clear();
    Parser parser(text);
    root_ = parser.parse_document();
    if (!root_) {
        error_ = "prase json string error at " + text.substr(parser.error_position());
        return false;
    }
    item_ = root_.get();
    return true;
}

bool CJsonObject::is_empty() const { return item_ == nullptr; }

bool CJsonObject::is_array() const { return item_ != nullptr && item_->type == Item::kArray; }

int CJsonObject::array_size() const {
    return is_array() ? static_cast<int>(item_->children.size()) : 0;
}

const CJsonObject::Item* CJsonObject::member(const std::string& name) const {
    if (item_ == nullptr || item_->type != Item::kObject) return nullptr;
    for (const auto& c : item_->children) {
        if (c->name == name) return c.get();
    }
    return nullptr;
}

CJsonObject& CJsonObject::child(const std::string& name) {
    auto& slot = named_children_[name];
    if (!slot) slot.reset(new CJsonObject(const_cast<Item*>(member(name))));
    return *slot;
}

CJsonObject& CJsonObject::child(int index) {
    auto& slot = indexed_children_[index];
    if (!slot) {
        Item* element = nullptr;
        if (is_array() && index >= 0 && size_t(index) < item_->children.size()) {
            element = item_->children[size_t(index)].get();
        }
        slot.reset(new CJsonObject(element));
    }
    return *slot;
}

bool CJsonObject::get(const std::string& name, std::string& value) const {
    const Item* item = member(name);
    if (item == nullptr || item->type != Item::kString) return false;
    value = item->text;
    return true;
}

bool CJsonObject::get(const std::string& name, int32_t& value) const {
    int64_t wide;
    if (!integer_value(member(name), wide)) return false;
    if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    value = static_cast<int32_t>(wide);
    return true;
}

bool CJsonObject::get(const std::string& name, int64_t& value) const {
    return integer_value(member(name), value);
}

bool CJsonObject::get(const std::string& name, bool& value) const {
    const Item* item = member(name);
    if (item == nullptr || (item->type != Item::kTrue && item->type != Item::kFalse)) {
        return false;
    }
    value = item->type == Item::kTrue;
    return true;
}

bool CJsonObject::get(const std::string& name, CJsonObject& value) const {
    const Item* item = member(name);
    if (item == nullptr) return false;
    std::string text;
    print_item(text, *item, 0, false);
    return value.parse(text);
}

CJsonObject::Item* CJsonObject::container_for_add(Container kind) {
    const Item::Type type = kind == Container::kArray ? Item::kArray : Item::kObject;
    if (item_ == nullptr) {
        root_ = std::make_unique<Item>();
        root_->type = type;
        item_ = root_.get();
    }
    if (item_->type != type) {
        error_ = kind == Container::kArray ? "not a json array! json object?"
                                           : "not a json object! json array?";
        return nullptr;
    }
    return item_;
}

std::unique_ptr<CJsonObject::Item> CJsonObject::parsed_copy(const std::string& text) {
    CJsonObject copy;
    if (!copy.parse(text)) {
        error_ = copy.error_text();
        return nullptr;
    }
    return std::move(copy.root_);
}

bool CJsonObject::add_item(const std::string& name, std::unique_ptr<Item> item) {
    Item* object = container_for_add(Container::kObject);
    if (object == nullptr) return false;
    item->name = name;
    for (auto& existing : object->children) {
        if (existing->name == name) {
            existing = std::move(item);
            // A wrapper handed out for the old value now stands for the new one.
            auto cached = named_children_.find(name);
            if (cached != named_children_.end()) cached->second->point_to(existing.get());
            return member(name) != nullptr;
        }
    }
    object->children.push_back(std::move(item));
    auto cached = named_children_.find(name);
    if (cached != named_children_.end()) cached->second->point_to(object->children.back().get());
    return member(name) != nullptr;
}

bool CJsonObject::add(const std::string& name, const std::string& value) {
    auto item = std::make_unique<Item>();
    item->type = Item::kString;
    item->text = value;
    return add_item(name, std::move(item));
}

bool CJsonObject::add(const std::string& name, const char* value) {
    return add(name, std::string(value));
}

bool CJsonObject::add(const std::string& name, int32_t value) {
    return add_item(name, integer_item(value));
}

bool CJsonObject::add(const std::string& name, int64_t value) {
    return add_item(name, integer_item(value));
}

bool CJsonObject::add(const std::string& name, const CJsonObject& value) {
    // Taken first: value may be this wrapper or one of its children.
    const std::string text = value.to_unformatted_text();
    if (container_for_add(Container::kObject) == nullptr) return false;
    auto copy = parsed_copy(text);
    return copy != nullptr && add_item(name, std::move(copy));
}

bool CJsonObject::append(const CJsonObject& value) {
    const std::string text = value.to_unformatted_text();
    Item* array = container_for_add(Container::kArray);
    if (array == nullptr) return false;
    auto copy = parsed_copy(text);
    if (copy == nullptr) return false;
    array->children.push_back(std::move(copy));
    // An index looked up before it existed now has its element.
    auto cached = indexed_children_.find(int(array->children.size()) - 1);
    if (cached != indexed_children_.end()) cached->second->point_to(array->children.back().get());
    return true;
}

std::string CJsonObject::to_text() const {
    std::string out;
    if (item_ != nullptr) print_item(out, *item_, 0, true);
    return out;
}

std::string CJsonObject::to_unformatted_text() const {
    std::string out;
    if (item_ != nullptr) print_item(out, *item_, 0, false);
    return out;
}

}  // namespace neb
