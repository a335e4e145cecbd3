// The settings file: an INI file beside the executable (its path with the extension
// replaced by ".INI").
//
// Every routine opens the file for its one operation and keeps nothing between calls.
// Reads fall back to their default on any failure; failed writes are dropped silently.
// An empty fileName means the settings file. Values are UTF-8; a file that is not valid
// UTF-8 is read as Latin-1. Called on the UI thread only; no locking.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qs {

std::string IniReadString(std::string_view section, std::string_view key,
                          std::string_view defaultValue, const std::string& fileName = {});
int32_t IniReadInteger(std::string_view section, std::string_view key, int32_t defaultValue,
                       const std::string& fileName = {});
void IniWriteString(std::string_view section, std::string_view key, std::string_view value,
                    const std::string& fileName = {});
void IniWriteInteger(std::string_view section, std::string_view key, int32_t value,
                     const std::string& fileName = {});

// The integer rule on its own: optional blanks, sign, decimal or $/x/0x hexadecimal.
// Returns false (and leaves *value alone) on anything else.
bool ParseIniInteger(std::string_view text, int32_t* value);

std::string ExecutablePath();
// Path with its extension replaced by ".INI" (a "." only counts after the last "/").
std::string SettingsPathFor(std::string_view executablePath);
std::string SettingsFilePath();
// Test seam: when non-empty, used in place of ExecutablePath() by the routines.
void TEST_SetExecutablePath(std::string path);

}  // namespace qs
