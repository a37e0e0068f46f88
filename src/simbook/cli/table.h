// The rows of a `simbook run --each` table: the machine files a folder holds, a distinct name
// for every row, the file names a row's kept files take, and an outcome packed to cross from
// the process that ran its row to the one that prints the table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "simbook/cli/commands.h"
#include "simbook/cli/procedure.h"

namespace simbook::cli {

// The machine files in folder `dir`, sorted by their bytes: every NAME.json that is a regular
// file or a link to one, hidden names left out. Throws std::filesystem::filesystem_error when
// the folder cannot be read.
std::vector<std::string> MachineFilesIn(const std::string& dir);

// Gives every row a name of its own. A ready machine keeps its name; files whose names clash
// (a/healthy.json and b/healthy.json, or a file named like a ready machine of the table) are
// named by the shortest tail of their absolute paths that tells them apart, the same number of
// folders for each ("a/healthy", "b/healthy"). Empty, or the problem: the same file twice.
std::string NameRows(std::vector<MachineChoice>& rows);

// `name` as a file name: bytes other than letters, digits and "_-+,." (and a leading '.') as
// %XX, '%' included, so that distinct names stay distinct and none holds a '/' or is hidden.
std::string SafeFileName(const std::string& name);

// An outcome and how its worker ended, packed (CBOR, so that every byte of the output passes
// unchanged) and unpacked; nullopt when the bytes are not a whole packed outcome.
struct RowResult {
    Outcome outcome;
    int interruptedBy = 0; // the signal that ended the row's procedure early, or 0
    std::string problem;   // simbook's own failure running the row; then no outcome
};
std::string PackRow(const RowResult& row);
std::optional<RowResult> UnpackRow(const std::string& bytes);

} // namespace simbook::cli
