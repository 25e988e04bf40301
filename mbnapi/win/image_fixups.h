// Outside callers load QuarnVelmora.exe as a library to reach the wrapper's exports. Wine
// relocates and binds the imports of DLLs only: an executable loaded that way sits at
// another base with its absolute addresses unrelocated and its import table unbound. Each
// export therefore starts by fixing up its own image, once, before anything else runs:
// it applies the base relocations and binds the imports. Where the loader already did
// (the running application, or a loader that treats executables like DLLs), nothing is
// changed.
#pragma once

// Fixes up the image mapped at `base`: adds to every address its base relocations name what
// `relocationProbe` shows the image has moved by, and binds its imports if they are unbound.
// `relocationProbe` is pointer-sized data of the image that holds its own address through a
// base relocation. Each page written keeps execute if it had it and gets back exactly the
// protection it had. Returns false when the image could not be fixed up: a relocation table
// that is malformed or holds a type not applied (checked whole before anything is written),
// an import DLL that does not load, a name or ordinal that does not resolve, a protection that
// could not be changed. The image may then be half fixed up, and none of its code may run.
// Reaches kernel32 through the loader list and export tables: no import of the image is used.
bool FixUpImage(void* base, const void* relocationProbe);

// Prepares this executable's own image with FixUpImage, once, and says whether it is ready.
// Call it first in each exported entry point: before it returns true, no other code of the
// executable may run. Safe from any thread, any number of times; a thread that comes while
// another prepares waits (in a lock, not a loop) and gets the same answer. A failure is kept
// for the life of the image: a half-fixed image cannot be told from a fixed one, so it is
// never tried again (a caller that frees the library and loads it again gets a fresh copy).
// Not from DllMain: preparing loads the import DLLs, which waits for the loader lock.
bool PrepareImageForExports();
