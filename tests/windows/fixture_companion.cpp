// The DLL that fixture_with_companion.dll imports, as an engine imports a
// DLL it ships: it lies beside the engine only, never beside the test host.
extern "C" __declspec(dllexport) const char* fixture_companion_word() { return "companion"; }
