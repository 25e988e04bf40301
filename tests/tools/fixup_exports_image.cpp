// A test image for the exports (mbnapi/win/image_fixups_test.cpp): the wrapper's exports,
// linked in as in QuarnVelmora.exe, and one more import, chosen at link time: a DLL that
// holds its own loading until the test lets it go, or a DLL that does not exist. The test
// loads the executable as a library, so main never runs; it only keeps the import.
extern "C" __declspec(dllimport) int QuarnFixupExtraImport();

int main() {
    return QuarnFixupExtraImport();
}
