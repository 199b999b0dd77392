// The part of a DecodedValue that many values share: its name, its meaning or
// text, and the module whose pool takes the value's memory back.
//
// A label is an internal object, never handed to Python code. It refers only
// to strings and to the module, which cannot lead back to a label, so like
// DecodedValue it is not tracked by the garbage collector: a decode allocates
// nothing that counts towards a collection, however many text items it has.
// The module reference is what lets a value find its pool when it is freed
// without a lookup that could raise (and so without saving and restoring the
// exception state around it), with any number of interpreters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module_state.hpp"
#include "python.hpp"

namespace morvane::py {

struct ValueLabel {
  PyObject_HEAD
  PyObject* name;      // str
  PyObject* second;    // the meaning or the text (str), or None
  PyObject* module;    // owned: keeps `state` valid while a value refers here
  ModuleState* state;  // that module's state
};

inline ValueLabel* as_label(PyObject* object) { return reinterpret_cast<ValueLabel*>(object); }

// Labels of one conversion: one str per distinct core string and one label
// per distinct (name, meaning) pair, keyed by the strings' addresses.
class Labels {
public:
  explicit Labels(ModuleState* state) : state_(state), slots_(512) {}
  Labels(const Labels&) = delete;
  Labels& operator=(const Labels&) = delete;
  ~Labels();

  // Borrowed (name, meaning-or-None) label, or nullptr with an exception set.
  // Inline: it runs once per item.
  PyObject* label(const std::string* name, const std::string* meaning) {
    const Recent& recent = recent_[recent_index(name, meaning)];
    if (recent.name == name && recent.meaning == meaning && recent.label != nullptr) {
      return recent.label;
    }
    return label_slow(name, meaning);
  }
  // A new (name, text) label for one character item.
  PyObject* text_label(const std::string* name, const std::string& value);

private:
  static constexpr int kString = 0;
  static constexpr int kLabel = 1;
  struct Key {
    const std::string* first = nullptr;
    const std::string* second = nullptr;
    int kind = kString;
    bool operator==(const Key&) const = default;
  };
  struct Slot {
    Key key;
    PyObject* object = nullptr;  // owned; null marks an empty slot
  };

  PyObject* label_slow(const std::string* name, const std::string* meaning);
  PyObject* text(const std::string* value);
  PyObject* find(const Key& key) const;
  bool insert(const Key& key, PyObject* object);
  void place(const Slot& slot);

  // The labels last used, by the strings' addresses: an uncompressed walk
  // returns to the same few dozen labels in every subset, and this finds
  // them without hashing. Entries are borrowed from slots_.
  struct Recent {
    const std::string* name = nullptr;
    const std::string* meaning = nullptr;
    PyObject* label = nullptr;
  };
  static constexpr unsigned kRecentBits = 8;
  static std::size_t recent_index(const std::string* name, const std::string* meaning) {
    const std::uint64_t h = (reinterpret_cast<std::uintptr_t>(name) +
                             reinterpret_cast<std::uintptr_t>(meaning) * 3U) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h >> (64U - kRecentBits));
  }

  ModuleState* state_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  Recent recent_[std::size_t{1} << kRecentBits];
};

} // namespace morvane::py
