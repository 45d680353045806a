// The printer address text as the GET reads it.
#pragma once

#include <string_view>

namespace printxpc {

// The host text as the GET trims it: white space from both ends, then line breaks.
std::string_view trimHostText(std::string_view host);

}  // namespace printxpc
