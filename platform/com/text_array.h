// Reading arrays of texts out of VARIANTs that arrive from a peer: the shape
// is checked (type, rank, element type, non-null array) before any element
// is read.
#pragma once

#include <string>
#include <vector>

#include "platform/com/variant.h"

namespace com {

// The array of `v` when it is VT_ARRAY|VT_VARIANT or VT_ARRAY|VT_BSTR (not by
// reference) with `dims` dimensions and an element type that matches; false
// otherwise, with the out values unset.
[[nodiscard]] bool OpenTextArray(const VARIANT& v, UINT dims, SAFEARRAY** array,
                                 VARTYPE* element_type);

// Lower and upper bound of dimension `dim` (SafeArrayCreate order, from 1).
[[nodiscard]] bool GetArrayBounds(SAFEARRAY* array, UINT dim, LONG* lower, LONG* upper);

// Whether a VT_VARIANT element may be VT_EMPTY or VT_NULL (read as "").
enum class EmptyElement { Refused, Allowed };

// The text at `indices` of an array opened by OpenTextArray: a BSTR element,
// or a VARIANT element holding VT_BSTR.
[[nodiscard]] bool GetTextElement(SAFEARRAY* array, VARTYPE element_type, const LONG* indices,
                                  EmptyElement empty, std::u16string* out);

// The one-dimensional VT_ARRAY|VT_VARIANT array of `in` (any VT_BYREF
// followed; `holder` keeps the copy alive) with its bounds.
[[nodiscard]] bool OpenVariantVector(const VARIANT& in, Variant* holder, SAFEARRAY** array,
                                     LONG* lower, LONG* upper);

}  // namespace com

namespace com {

// A one-dimensional list of texts: `in` (any VT_BYREF followed) VT_EMPTY or
// VT_NULL for no entry, else an array as OpenTextArray takes, its elements
// read by GetTextElement from lower to upper bound.
[[nodiscard]] bool GetTextVector(const VARIANT& in, EmptyElement empty,
                                 std::vector<std::u16string>* out);

}  // namespace com
