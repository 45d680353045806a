# The three service builds. Each has its own build suffix (a UUID in upper-case hex with
# underscores between its groups) and its own model rows (src/models/rows/<id>.inc).
# The suffixes are fixed here for good: they keep the builds apart on the wire.
set(PRINTXPC_BUILD_IDS a b c)
set(PRINTXPC_SUFFIX_a "6F1C2A9E_3B7D_4E21_9A5C_0D8E4F7B1A23")
set(PRINTXPC_SUFFIX_b "B2E94D17_5A60_4C38_8F12_7E3D9C0A6B54")
set(PRINTXPC_SUFFIX_c "1D7A8C3F_9E42_4B1D_A6E0_5C2F8B9D7E61")
