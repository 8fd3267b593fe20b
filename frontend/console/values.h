// values.h - how qo prints the values a run hands back (one per line).
//
// Plain values by their operator type: nil; int; real and the second real
// kind (16 significant digits; nan, inf, -inf); complex {re$im} and vector
// {x$y$z} (negative parts in brackets); logical; static strings and string
// objects (their text); keyword constants by name (data, public, inf, -inf,
// ...); unique names as #name; function handles as function(name).
// Objects:
//   - a kind that answers the print operator (code 49) prints itself: the
//     system extension's dictionaries, structures, qou tables, Strings, the
//     math arrays, script kinds made with newtype that handle it;
//   - engine tables print through the system extension's qou printer when it
//     is loaded ("qou{1 , 2}"), otherwise as qo[N]{item, item, ...};
//   - ints and reals arrays as ints[D1,D2,...]{e, e, ...} (static arrays too);
//   - inside our containers strings are quoted and nested containers are
//     written out to a depth of 3 ({...} beyond); only the first 20 items are
//     shown, then ", ... (N items)";
//   - an engine object whose operator type is a kind that does not print
//     itself prints by what it stores; any other such object as
//     <sys::file object> (the system extension's kinds by name) or
//     <type N object>;
//   - a handle whose object does not exist (deleted, or forged with cast)
//     prints as <deleted or invalid KIND handle H>.
// A value nothing else fits prints the system's "unrecognised type" text.
#pragma once
#include <string>

#include "engine_api.h"

namespace qo::console {

constexpr int kShownItems = 20;
constexpr int kNestedDepth = 3;

// Prints `value` through `out` (no line end). Engine calls that a kind's
// print operator makes run as in the run; an error one of them records is
// taken back and the value printed as our form instead.
void printValue(const frontend::EngineApi& api, QoOutputFn out, const QoValue& value);

// The name of a keyword constant's number ("data", "-inf"), empty when unknown.
std::u16string keywordName(int64_t number);

}  // namespace qo::console
