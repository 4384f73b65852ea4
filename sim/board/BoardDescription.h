// The board description (board.toml) and the files of a board folder, checked before any
// device is built: a description the board cannot honour is refused with one line that
// names the field (and the file and line it came from), never taken with a default.
#pragma once

#include <filesystem>
#include <string>

#include <toml++/toml.h>

namespace sim {

// Parses `file`; damaged TOML is reported with the file, line and column.
toml::table ReadBoardDescription(const std::filesystem::path& file);
// Parses description text; `source` names it in errors (the fuzzers and tests use this).
toml::table ParseBoardDescription(std::string_view text, const std::string& source);

// Checks the type and range of every field the simulated board reads: processor count,
// register values and widths, flash offsets inside the fitted part, the part itself, the
// names of modes and statuses. `complete` also demands what a board folder must name
// ([board] cpus, [flash] part).
void CheckBoardDescription(const toml::table& description, bool complete);

// A file of the board folder `dir`, named by the description or fixed (`what` says which):
// a plain relative name, no "..", and no symbolic link that leads out of the folder.
std::filesystem::path FileInBoardFolder(const std::filesystem::path& dir, const std::string& name,
                                        const std::string& what);

}  // namespace sim
