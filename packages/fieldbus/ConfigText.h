// The CONFIGS text of a bus's INTERFACES row, as every bus package reads it:
// "key=value" items separated by ';' or line ends, spaces around keys and
// values ignored, an item beginning with '#' a comment. What the keys mean
// is each package's (BusSettings, MbusSettings).
//
// Pure functions on text: callable from any thread.
#pragma once

#include <functional>
#include <string>

namespace fb {

// Hands the items of `text` to `apply` in order, stopping at the first it
// refuses (it then sets `error`). False also when an item has no '=' or a
// key comes twice, with `error` in Portuguese ("item sem '=': '...'",
// "chave repetida: 'k'").
using ConfigItemFn =
    std::function<bool(const std::string& key, const std::string& value, std::string& error)>;
bool ForEachConfigItem(const std::string& text, const ConfigItemFn& apply, std::string& error);

// A whole decimal number within [low, high] (digits only, at most nine).
bool ParseIntInRange(const std::string& text, int low, int high, int& value);

}  // namespace fb
