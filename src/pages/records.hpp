// Project pages as Python records: two named, immutable record types (struct
// sequences, made once per process) built straight from the parsed page, so
// that a page of many thousand files costs no Python code per file. Their
// repr masks the credentials a URL may carry.
#pragma once

#include "runtime/ref.hpp"

namespace pic::pages {

// Makes the record types (the first time) and adds ProjectPage and
// ProjectFile to `module`.
void add_record_types(const Object& module);

// The page in `body` (bytes) as a ProjectPage. `format` is "json" or "html".
// Raises ValueError for a page that cannot be read.
Object parse_project_page(const Object& body, const Object& page_url, const Object& project, const Object& format,
                          const Object& index_url);

// The page URL of a project at an index: the index URL, one '/', the
// project's normalised name, percent-encoded where it is not a plain URL
// character, and a closing '/'.
Object project_page_url(const Object& index_url, const Object& project);

// `reference` resolved against the absolute URL `base` (RFC 3986), as the
// parser resolves a page's links; its fragment left out.
Object resolve_url(const Object& base, const Object& reference);

// An RFC 3339 time read as the parser reads upload times: an aware datetime,
// or None for a text it does not take.
Object parse_time(const Object& text);

}  // namespace pic::pages
