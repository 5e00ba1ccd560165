// The packed parameter list: each item's bytes followed by one NUL, in list
// order, with no count or prefix (the byte count travels beside the block).
#pragma once

#include <cstddef>
#include <cstdint>

#include "params/ParamList.h"

// Bytes the packed form of List takes: the sum of (item length + 1); 0 for an
// empty list.
size_t PackedSize(const TParamList& List);

// Writes List packed to Target, which holds Capacity bytes. When it fits,
// Count is the number of bytes written and the result is true. When it does
// not fit, NOTHING is written, Count is the size the packed list would need
// and the result is false. Never writes at or beyond Target + Capacity.
// (An item holding a NUL, which no reader produces, is written as it stands
// and so reads back as two items.)
bool PackParams(const TParamList& List, char* Target, size_t Capacity, size_t& Count);

// Replaces the items of List by those of the packed block of Length bytes at
// Data. Length 0 or negative gives an empty list (Data is not looked at). The
// scan never looks at or beyond Data + Length: a final NUL ends the last item
// without making an empty one, a missing final NUL loses nothing, and two NULs
// in a row give an empty item between them.
void UnpackParams(TParamList& List, const void* Data, int32_t Length);
