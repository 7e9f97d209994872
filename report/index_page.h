// The index page's fixed parts: its style, its script and the table head,
// kept apart from the code that fills in the rows.
#pragma once

#include <string>
#include <string_view>

namespace tolvek::report {

// The whole page: `title` already HTML-escaped, `rows_json` a JSON array of
// rows (see row_json in index.cpp) holding no '<'.
std::string page_text(std::string_view title, std::string_view rows_json);

// Whether `start`, the first bytes of a file, begins as every index page of
// this program does (its head up to the title). Only such a file (or none)
// may be replaced by an index page.
bool is_index_page_start(std::string_view start);

}  // namespace tolvek::report
