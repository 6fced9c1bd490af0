// The version a distribution's filename names, for one project: a wheel's
// second field, or what follows the project's name in an sdist's name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pic::pages {

// `project` is normalised (PEP 503). None when the file is neither a wheel
// nor an sdist, names another project, or names no valid version. The
// version is as written (a view of `filename`).
std::optional<std::string_view> version_from_filename(std::string_view filename, std::string_view project);

// Whether packaging's Version takes the text (PEP 440 with its alternative
// spellings, white space around it allowed): the grammar the client orders
// releases by (fastpath/pep440_grammar.hpp).
bool is_version(std::string_view text);

}  // namespace pic::pages
