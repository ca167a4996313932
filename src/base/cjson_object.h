#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace neb {

// A JSON document or a view of one of its values. The engine reads the server's answers
// and writes its own small files through it; the formatted text is what later runs read
// back, so it is fixed to the byte.
class CJsonObject {
public:
    CJsonObject();
    // Parses text; on failure the object is empty and error_text() says where.
    explicit CJsonObject(const std::string& text);
    // Copies are deep and own their tree.
    CJsonObject(const CJsonObject& other);
    CJsonObject& operator=(const CJsonObject& other);
    ~CJsonObject();

    // Drops any previous content. On failure the error text is
    // "prase json string error at " followed by the unparsed rest of text.
    bool parse(const std::string& text);
    void clear();

    bool is_empty() const;
    bool is_array() const;
    // 0 unless this is an array.
    int array_size() const;

    // The member of that name or the array element at index. A missing one gives an empty
    // wrapper. Wrappers are owned by this object and the same one is returned each time.
    CJsonObject& child(const std::string& name);
    CJsonObject& child(int index);

    // True only when this is an object whose member exists with the matching type. Numbers
    // written with a fraction or exponent are doubles, not integers; an integer outside the
    // range of the target type fails rather than being truncated.
    bool get(const std::string& name, std::string& value) const;
    bool get(const std::string& name, int32_t& value) const;
    bool get(const std::string& name, int64_t& value) const;
    bool get(const std::string& name, bool& value) const;
    // The member's text is printed and parsed into value.
    bool get(const std::string& name, CJsonObject& value) const;

    // Adds a member; an empty wrapper becomes an object first. A member of the same name
    // has its value replaced, so that the file never holds the name twice.
    bool add(const std::string& name, const std::string& value);
    bool add(const std::string& name, const char* value);
    bool add(const std::string& name, int32_t value);
    bool add(const std::string& name, int64_t value);
    bool add(const std::string& name, const CJsonObject& value);
    // Appends an element; an empty wrapper becomes an array first.
    bool append(const CJsonObject& value);

    // Tabs and line breaks as the engine's files are written; empty for an empty wrapper.
    std::string to_text() const;
    // The same without any white space.
    std::string to_unformatted_text() const;

    const std::string& error_text() const { return error_; }

    struct Item;

private:
    explicit CJsonObject(Item* item);
    enum class Container { kObject, kArray };
    // The container this wrapper stands for, made when the wrapper is still empty; nullptr,
    // with the error set, when it holds another kind of value.
    Item* container_for_add(Container kind);
    // A tree of its own for `text`, another wrapper's JSON; nullptr, with the error set,
    // when the text does not parse.
    std::unique_ptr<Item> parsed_copy(const std::string& text);
    bool add_item(const std::string& name, std::unique_ptr<Item> item);
    void point_to(Item* item);
    const Item* member(const std::string& name) const;

    std::unique_ptr<Item> root_;  // set when this wrapper owns its tree
    Item* item_ = nullptr;        // the value this wrapper stands for
    std::string error_;
    std::map<std::string, std::unique_ptr<CJsonObject>> named_children_;
    std::map<int, std::unique_ptr<CJsonObject>> indexed_children_;
};

}  // namespace neb
