// Texts of pages, tables and FITS cards.
#pragma once

#include <string>

namespace tavo_tools {

// A FITS string value without its apostrophes and surrounding blanks:
// "'LIGHT'" -> "LIGHT".
std::string unquoted(const std::string& value);

// text with &, <, > and " written as HTML entities, for element text and
// attribute values.
std::string escape_html(const std::string& text);

// text as one CSV field: quoted (quotes doubled) only when it holds a comma,
// a quote or a line end.
std::string csv_field(const std::string& text);

}  // namespace tavo_tools
