#pragma once

#include <string_view>

#include "output/json.h"

namespace shotsieve {

// Writes jsonEncode(value) and "\n" to the buffered standard output, unflushed.
void printJSON(const JsonValue& value);

// Writes an already encoded JSON text and "\n" the same way as printJSON.
void printJSONText(std::string_view jsonText);

// Writes the message and "\n" to standard error in one write.
void eprint(std::string_view message);

}  // namespace shotsieve
