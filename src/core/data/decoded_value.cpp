#include "decoded_value.hpp"

namespace morvane {

// Function-local statics: items point at them, so they live for the program.
const std::string& associated_field_name() {
  static const std::string name = "associatedField";
  return name;
}

const std::string& operator_name() {
  static const std::string name = "operator";
  return name;
}

const std::string& inserted_text_name() {
  static const std::string name = "text";
  return name;
}

} // namespace morvane
