# Back-end uses outside src/platform and src/app that are known and on their way out. Each entry
# is the exact line the layer check prints. An entry that no longer occurs fails the check as
# well: delete it once the code it names is fixed. Nothing new goes here.
set(LC_KNOWN_BACKEND_USES
    # The export still opens the FFmpeg reader and writer itself.
    "include: src/export/ExportEngine.h -> platform/media/reader/MediaReader.h"
    "include: src/export/Timeline.h -> platform/media/reader/MediaTime.h"
    "call: src/export/ExportRun.cpp -> createMovieWriter"
    "link: lc_export -> lc_media_reader"
)
