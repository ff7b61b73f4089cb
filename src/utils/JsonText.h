// What the JSON files share: the compact text of an object value.
#ifndef QUORANE_UTILS_JSON_TEXT_H
#define QUORANE_UTILS_JSON_TEXT_H

#include <optional>
#include <string>

#include <quorane/Utils.h>

namespace quorane {

// The compact JSON text of `value`, as RapidJSON's writer gives it but with
// doubles as "%.22f" writes them; nothing when the writer refuses the value.
std::optional<std::string> ObjectText(const JsonValue& value);
std::optional<std::wstring> ObjectText(const WideJsonValue& value);

}  // namespace quorane

#endif  // QUORANE_UTILS_JSON_TEXT_H
