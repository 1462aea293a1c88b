// The registry stand-in: a read-only file in the registry-export text format, named by
// TARN_REGISTRY_FILE. Each open from the root reads the file afresh, so a change to it counts
// from the next discovery on; the keys opened from one root open share that reading.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "registry.h"
#include "registry_posix.h"

namespace tarn::iccr {
namespace {

constexpr const char* kDefaultFile = "/etc/tarn/registry.reg";
constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";

struct Value {
  std::string name;
  bool is_dword = false;
  std::string text;
  std::uint32_t number = 0;
};

struct Node {
  std::string name;
  std::vector<std::unique_ptr<Node>> children;  // in order of first appearance
  std::vector<Value> values;
};

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

Node* FindChild(const Node& node, const std::string& name) {
  for (const auto& child : node.children) {
    if (SameName(child->name, name)) return child.get();
  }
  return nullptr;
}

Node* ChildOrNew(Node& node, const std::string& name) {
  if (Node* found = FindChild(node, name)) return found;
  node.children.push_back(std::make_unique<Node>());
  node.children.back()->name = name;
  return node.children.back().get();
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A quoted text with \\ and \" escapes starting at `pos`; `pos` ends past the closing quote.
bool ParseQuoted(const std::string& line, size_t& pos, std::string& out) {
  if (pos >= line.size() || line[pos] != '"') return false;
  out.clear();
  for (++pos; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (pos + 1 >= line.size()) return false;
      const char next = line[++pos];
      if (next != '\\' && next != '"') return false;
      out += next;
    } else {
      out += c;
    }
  }
  return false;
}

bool ParseDword(const std::string& text, std::uint32_t& number) {
  if (text.empty() || text.size() > 8) return false;
  number = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    number = (number << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

// `"Name"="text"`, `"Name"=dword:0000000a` or `@=...` for the default value.
bool ParseValue(const std::string& line, Value& value) {
  size_t pos = 0;
  if (!line.empty() && line[0] == '@') {
    value.name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, pos, value.name)) {
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') return false;
  ++pos;
  if (pos < line.size() && line[pos] == '"') {
    if (!ParseQuoted(line, pos, value.text) || pos != line.size()) return false;
    value.is_dword = false;
    return true;
  }
  static const std::string kDword = "dword:";
  if (line.compare(pos, kDword.size(), kDword) != 0) return false;
  value.is_dword = true;
  return ParseDword(line.substr(pos + kDword.size()), value.number);
}

void SetValue(Node& node, Value value) {
  for (auto& existing : node.values) {
    if (SameName(existing.name, value.name)) {
      existing = std::move(value);
      return;
    }
  }
  node.values.push_back(std::move(value));
}

// UTF-16LE (an odd last byte dropped) as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8FromUtf16Le(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// A line that cannot be read is passed over; the rest of the text still counts. Values stand
// in the section above them, and only sections of HKEY_LOCAL_MACHINE are kept.
std::shared_ptr<const Node> ParseRegistry(const std::string& bytes) {
  auto root = std::make_shared<Node>();
  // regedit writes its exports as UTF-16LE with a byte-order mark.
  const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                     static_cast<unsigned char>(bytes[1]) == 0xFE;
  std::istringstream in(utf16 ? Utf8FromUtf16Le(bytes.substr(2)) : bytes);
  Node* section = nullptr;
  std::string raw;
  bool first = true;
  while (std::getline(in, raw)) {
    if (first && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
    first = false;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      section = nullptr;
      if (line.back() != ']') continue;
      const auto parts = SplitPath(line.substr(1, line.size() - 2));
      if (parts.empty() || !SameName(parts[0], kRootName)) continue;
      Node* node = root.get();
      for (size_t i = 1; i < parts.size(); ++i) node = ChildOrNew(*node, parts[i]);
      section = node;
      continue;
    }
    Value value;
    if (section != nullptr && ParseValue(line, value)) SetValue(*section, std::move(value));
  }
  return root;
}

std::shared_ptr<const Node> LoadRegistry() {
  const char* env = std::getenv("TARN_REGISTRY_FILE");
  std::ifstream file(env != nullptr && env[0] != '\0' ? env : kDefaultFile, std::ios::binary);
  if (!file) return ParseRegistry({});  // no file: an empty registry
  return ParseRegistry(
      std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()));
}

const Value* FindValue(const Node& node, const char* name) {
  const std::string wanted = name != nullptr ? name : "";
  for (const auto& value : node.values) {
    if (SameName(value.name, wanted)) return &value;
  }
  return nullptr;
}

}  // namespace

struct RegistryKey {
  std::shared_ptr<const Node> tree;  // keeps the reading alive while any key of it is open
  const Node* node = nullptr;
};

void RegistryKeyCloser::operator()(RegistryKey* key) const {
  delete key;
}

long RegistryOpenKey(const RegistryKey* parent, const std::string& path, RegistryKeyHandle& key) {
  std::shared_ptr<const Node> tree = parent != nullptr ? parent->tree : LoadRegistry();
  const Node* node = parent != nullptr ? parent->node : tree.get();
  for (const auto& part : SplitPath(path)) {
    node = FindChild(*node, part);
    if (node == nullptr) return kRegNotFound;
  }
  key.reset(new RegistryKey{std::move(tree), node});
  return kRegSuccess;
}

void RegistryOpenText(const std::string& bytes, RegistryKeyHandle& key) {
  std::shared_ptr<const Node> tree = ParseRegistry(bytes);
  const Node* node = tree.get();
  key.reset(new RegistryKey{std::move(tree), node});
}

long RegistryEnumKey(const RegistryKey* key, unsigned long index, char* name,
                     unsigned long* nameSize) {
  if (key == nullptr || name == nullptr || nameSize == nullptr) return kRegNotFound;
  if (index >= key->node->children.size()) return kRegNoMoreItems;
  const std::string& child = key->node->children[index]->name;
  if (child.size() + 1 > *nameSize) return kRegMoreData;
  std::memcpy(name, child.c_str(), child.size() + 1);
  *nameSize = static_cast<unsigned long>(child.size());
  return kRegSuccess;
}

long RegistryQueryString(const RegistryKey* key, const char* name, char* buffer,
                         unsigned long* size) {
  if (key == nullptr || size == nullptr) return kRegNotFound;
  const Value* value = FindValue(*key->node, name);
  if (value == nullptr) return kRegNotFound;
  if (value->is_dword) return kRegInvalidData;
  const unsigned long needed = static_cast<unsigned long>(value->text.size() + 1);
  const unsigned long room = *size;
  *size = needed;
  if (buffer == nullptr || needed > room) return kRegMoreData;
  std::memcpy(buffer, value->text.c_str(), needed);
  return kRegSuccess;
}

long RegistryQueryDword(const RegistryKey* key, const char* name, std::uint32_t* value) {
  if (key == nullptr || value == nullptr) return kRegNotFound;
  const Value* found = FindValue(*key->node, name);
  if (found == nullptr) return kRegNotFound;
  if (!found->is_dword) return kRegInvalidData;
  *value = found->number;
  return kRegSuccess;
}

bool IsNt6OrLater() {
  return true;
}

}  // namespace tarn::iccr
