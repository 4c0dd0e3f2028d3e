// The CONFIGS text of a bus's INTERFACES row, as every bus package reads it:
// "key=value" items separated by ';' or line ends, spaces around keys and
// values ignored, an item beginning with '#' a comment. What the keys mean
// is each package's (BusSettings, MbusSettings).
//
// Pure functions on text: callable from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace fb {

// Hands the items of `text` to `apply` in order, stopping at the first it
// refuses (it then sets `error`), and gives the keys seen in `keys`. False
// also when an item has no '=' or a key comes twice, with `error` in
// Portuguese ("item sem '=': '...'", "chave repetida: 'k'").
using ConfigItemFn =
    std::function<bool(const std::string& key, const std::string& value, std::string& error)>;
bool ForEachConfigItem(const std::string& text, const ConfigItemFn& apply, std::set<std::string>& keys,
                       std::string& error);

// A whole decimal number within [low, high] (digits only, at most nine).
bool ParseIntInRange(const std::string& text, int low, int high, int& value);

// The value of `key` as ParseIntInRange reads it, into `field`; false with
// "valor inválido para <key>: '<value>' (inteiro de <low> a <high>)".
bool ConfigInt(const std::string& key, const std::string& value, int low, int high, int& field,
               std::string& error);
// A serial line's parity, N, E or O in either case, into `field`; false with
// "valor inválido para parity: '<value>' (N, E ou O)".
bool ConfigParity(const std::string& value, char& field, std::string& error);

// The CONFIGS bytes Configure is handed, as text ("" for none).
std::string ConfigBytes(const uint8_t* bytes, int32_t count);

}  // namespace fb
