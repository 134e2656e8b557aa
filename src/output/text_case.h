#pragma once

#include <string>
#include <string_view>

namespace shotsieve {

// Lower-cases UTF-8 text by the full Unicode mappings (İ becomes i̇, a final
// Σ becomes ς), not only ASCII letters. Ill-formed bytes become U+FFFD.
std::string lowercaseFull(std::string_view text);

}  // namespace shotsieve
