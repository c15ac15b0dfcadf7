#ifndef LUMORET_ENGINE_CSV_FIELD_H
#define LUMORET_ENGINE_CSV_FIELD_H

#include <string>

// One field of a CSV line as spreadsheets read it: in quotes, with its quotes doubled,
// when it holds a comma, a quote or a line break; otherwise as it is.
std::string CsvField(const std::string& text);

#endif  // LUMORET_ENGINE_CSV_FIELD_H
