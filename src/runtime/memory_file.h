// Files held in memory, registered by number, and the binary record format that
// WriteData writes and ReadData reads (values one after another, no header):
//
//   numeric, logical, date-time, subroutine   the value's bytes (little-endian)
//   text                                      its bytes + one NUL
//   byte block                                int32 length n, n bytes
//   array of texts / byte blocks              each element as above, no count
//   array of another basic kind               the elements' bytes, no count
//
// No command reports an error: an unregistered number or a failed operation gives
// false or 0 and leaves the position where the command found it.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "runtime/value.h"

namespace tobrine {

// Creates an empty memory file (growing in steps of 1,024 bytes) and registers
// it; returns its file number, 0 when it could not be created.
int32_t OpenMemoryFile();
// Unregisters and releases the file; an unregistered number is ignored.
void CloseFile(int32_t file);
// Moves the position to byte 0.
bool SeekFileStart(int32_t file);
// Writes each value at the position in the record format. A value not of a basic
// kind moves the position back to where the command began and gives false.
bool WriteData(int32_t file, std::initializer_list<Value> values);
// Reads values back into the variables. An array variable reads as many elements
// as it holds now. On failure the position moves back and the result is false;
// a variable whose read failed is left empty.
bool ReadData(int32_t file, std::initializer_list<VarRef> variables);

// The position and the length of the content in bytes; -1 for an unregistered
// number.
int64_t FilePosition(int32_t file);
int64_t FileLength(int32_t file);

}  // namespace tobrine
