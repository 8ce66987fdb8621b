// Where the module's `NestedDict` comes from: RLlib's class where the
// installed Ray has it, else a stand-in class of the module's own.
//
// ray 2.33 and later no longer ship kNestedDictModule, and importing it just
// to learn that imports RLlib (seconds). Where the installed Ray's files
// show for certain that the module is not there, the stand-in is bound
// without importing Ray; in every other case the import is made as written,
// and its outcome decides.
#pragma once

#include "ref.h"

namespace su {

// RLlib's NestedDict lives here where Ray has it.
inline constexpr const char *kNestedDictModule = "ray.rllib.utils.nested_dict";

// Whether kNestedDictModule is known not to exist without importing
// anything: 1 when the finders on sys.meta_path, asked as the import system
// asks them, find no `ray` at all, or find `ray`, `ray.rllib` and
// `ray.rllib.utils` as plain packages in directories (nothing below `ray`
// imported yet) and no kNestedDictModule in the last; 0 where that cannot be known so (the
// import must be made); -1 with an error set only for an error that must
// not be swallowed (KeyboardInterrupt, MemoryError). Errors the finders
// raise otherwise are left for the import to raise again.
int nested_dict_known_absent() noexcept;

// The outcome of importing NestedDict from kNestedDictModule: the class when
// the import succeeded; when that module cannot be found (no Ray, or a Ray
// without it: a ModuleNotFoundError for it or a package on its path), the
// module's own stand-in class, which cannot be instantiated or subclassed, so
// that no value is ever an instance of it; any other error is left set and
// an empty Ref returned.
Ref nested_dict_or_stand_in(Ref imported) noexcept;

// The stand-in class (a borrowed static type, made ready on first use).
Ref nested_dict_stand_in() noexcept;

// The class to bind as NestedDict: the stand-in where kNestedDictModule is
// known to be absent, else the outcome of `import()` (a callable giving
// the imported NestedDict, or an empty Ref with the import's error set).
template <class Import> Ref nested_dict_class(Import &&import) {
    const int absent = nested_dict_known_absent();
    if (absent < 0)
        return {};
    return absent ? nested_dict_stand_in() : nested_dict_or_stand_in(import());
}

} // namespace su
