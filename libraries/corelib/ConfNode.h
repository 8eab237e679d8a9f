#pragma once
// The configuration tree: typed nodes with a value text, attributes and ordered children,
// addressed by dotted paths ("trawlex.target.dir").
//
//   ConfNodeHandle root = createRoot();                        // "root", type none
//   ConfNodeHandle dir = root->findOrCreate("trawlex.target.dir", ConfNodeType::Dir);
//   dir->setDir("C:/data/out//");
//   dir->getDir(PathStyle::Windows)                            // "C:\data\out"
//   dir->getPath()                                             // "root.trawlex.target.dir"
//   root->find("trawlex.target") ... root->find(".a") == nullptr
//
// Every operation that walks a tree (find, copy, merge, the serial form, destruction) works
// with an explicit stack, so a tree of any depth never exhausts the call stack.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corelib/DateTime.h"
#include "corelib/Exception.h"
#include "corelib/ParamStream.h"
#include "corelib/PathTools.h"
#include "corelib/TimeSpan.h"

namespace KelvraCorelib {

class ConfNode;

// Reference-counted shared handle; the node goes with its last handle.
using ConfNodeHandle = std::shared_ptr<ConfNode>;

// The elements of a list node, and the child names of a node.
using ConfStringList = std::vector<std::string>;

// Node type codes. 14 and 15 are request codes of the store (create, remove), not types.
namespace ConfNodeType {
enum : int32_t {
    None = 0,
    Bool = 1,
    Int = 2,
    UInt = 3,
    Float = 4,
    String = 5,
    DateTime = 6,
    TimeOfDay = 7,
    TimeZone = 8,
    TimeSpan = 9,
    Dir = 10,
    File = 11,
    List = 12,
    SubEntries = 13,  // queries only: the names of a node's children
    SystemString = 16,
    LocalInt = 17,
    LocalUInt = 18,
    LocalFloat = 19,
    LocalString = 20,
    LocalSet = 21,
};
}  // namespace ConfNodeType

// "none", "bool", ... "local set"; "undefined" for 14, 15, below 0 and above 21.
std::string typeName(int32_t type);

class ConfNode {
public:
    KELVRA_ERROR_CLASS(Factory_OutOfMemory);
    KELVRA_ERROR_CLASS(Get_WrongType);
    KELVRA_ERROR_CLASS(GetParent_NoParent);
    KELVRA_ERROR_CLASS(Set_WrongType);
    KELVRA_ERROR_CLASS(AddChild_NameAlreadyInUse);
    KELVRA_ERROR_CLASS(RemoveChild_NotFound);
    // readFrom on a serial form that is truncated or not a tree.
    KELVRA_ERROR_CLASS(ReadFrom_InvalidData);

    // Use createNode, createRoot or createCopy, which give a handle.
    ConfNode(const std::string& name, int32_t type);
    ConfNode(const ConfNode&) = delete;
    ConfNode& operator=(const ConfNode&) = delete;
    // Releases the subtree without recursion; children that live on lose their parent.
    virtual ~ConfNode();

    const std::string& getName() const { return name; }
    int32_t getType() const { return type; }
    // The raw value text, whatever the type.
    const std::string& getValue() const { return value; }
    // The parent's path + "." + name, or the name alone without parent.
    std::string getPath() const;
    // Throws GetParent_NoParent.
    ConfNode& getParent() const;
    ConfStringList getChildNames() const;
    // Inserts or replaces.
    void setAttribute(const std::string& key, const std::string& text);
    // Empty when the attribute is not set.
    std::string getAttribute(const std::string& key) const;

    // Typed getters; each throws Get_WrongType on a node of another type.
    // Bool: true only for "true", "yes", "on", "active" and "ok" (case matters).
    bool getBool() const;
    // Optional "-", then digits up to the first non-digit; "" and "-12abc" give 0 and -12.
    int64_t getInt() const;
    // Digits up to the first non-digit, no sign: "-5" gives 0.
    uint64_t getUInt() const;
    // strtod; beyond the largest finite double gives the largest finite double.
    double getFloat() const;
    std::string getString() const;
    DateTime getDateTime() const;
    // The fields of "2000-01-01T" + text, in the zone the text was read in.
    DateTimeDetails getTimeOfDay() const;
    TimeZone getTimeZone() const;
    TimeSpan getTimeSpan() const;
    // Windows: "/" -> "\", trailing "\" removed ("C:/data/out//" -> "C:\data\out").
    // POSIX: trailing "/" removed, "/" alone stays.
    std::string getDir(PathStyle style = PathStyle::Native) const;
    // Windows: "/" -> "\" ("C:/x/" -> "C:\x\"). POSIX: the text.
    std::string getFile(PathStyle style = PathStyle::Native) const;
    ConfStringList getList() const;

    // The value as text for any type, never throwing: bool "true"/"false", numbers as read by
    // their getters, datetime "2010-05-06T07:08:09.010Z", time-of-day "07:30:00", dir and file
    // as getDir/getFile, list joined with the separator; none and the others "".
    std::string getAsText(PathStyle style = PathStyle::Native) const;

    // Typed setters; each throws Set_WrongType on a node of another type.
    void setBool(bool newValue);
    void setInt(int64_t newValue);
    void setUInt(uint64_t newValue);
    void setFloat(double newValue);
    void setString(const std::string& newValue);
    void setTimeZone(const TimeZone& newValue);
    void setTimeSpan(const TimeSpan& newValue);
    void setDir(const std::string& newValue);
    void setFile(const std::string& newValue);
    // "a,,b," with "," gives a, "", b; "" gives no element.
    void setListFromText(const std::string& text, char separator);
    void setList(const ConfStringList& newList, char separator);

    // Throws AddChild_NameAlreadyInUse (the first child stays).
    void addChild(const ConfNodeHandle& child);
    // Throws RemoveChild_NotFound.
    void removeChild(const std::string& childName);
    // Null when there is no such child.
    ConfNodeHandle findChild(const std::string& childName) const;
    // Removes every child (their parent cleared), attribute and list element; name and value
    // become empty and the type none.
    void clear();

    // Relative path without the root's name; null for "", ".a", "a..b" or a missing node.
    // "a." finds child a.
    ConfNodeHandle find(const std::string& path) const;
    // Creates missing nodes (inner ones of type none, the last of the given type); a last node
    // of another type is replaced by a new one. Null for an empty component or out of memory.
    ConfNodeHandle findOrCreate(const std::string& path, int32_t newType);

    // Deep copy of other into this node; its children are added after the present ones.
    void copy(const ConfNode& other);
    // False (nothing changed) when the names differ. Otherwise takes other's type, value and
    // attributes, adds copies of the children this node lacks and merges the others. The list
    // and separator stay.
    bool merge(const ConfNode& other);

    // Serial form, depth first: name, type, value; for lists the separator, count, elements;
    // attribute count and pairs; child count and children in child order.
    void writeTo(StreamBase& stream) const;
    // Reads a serial form into this node, replacing name, type, value, list, attributes and
    // children. Throws ReadFrom_InvalidData on a truncated or broken form (or an exception of
    // addChild for duplicate child names); the node's content is then unspecified.
    void readFrom(StreamBase& stream);

    std::string name;
    int32_t type = ConfNodeType::None;
    std::map<std::string, std::string> attributes;
    std::string value;
    ConfStringList list;
    char listSeparator = '\n';
    ConfNode* parent = nullptr;  // not owning
    // Invariant: children and childOrder hold the same names.
    std::map<std::string, ConfNodeHandle> children;
    ConfStringList childOrder;

private:
    void requireGetType(int32_t required, const char* word) const;
    void requireSetType(int32_t required, const char* word) const;
};

// Throws ConfNode::Factory_OutOfMemory.
ConfNodeHandle createNode(const std::string& name, int32_t type);
ConfNodeHandle createCopy(const ConfNode& node);
ConfNodeHandle createRoot();

}  // namespace KelvraCorelib
