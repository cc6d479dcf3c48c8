# Back-end uses outside src/platform and src/app that are known and on their way out. Each entry
# is the exact line the layer check prints. An entry that no longer occurs fails the check as
# well: delete it once the code it names is fixed. Nothing new goes here.
set(LC_KNOWN_BACKEND_USES
)
