#pragma once
#include <QStringView>

namespace lc::update {

// Orders version strings the way release feeds use them: numeric parts compare as numbers
// (1.10 > 1.9), a letter part after the common prefix marks a pre-release (1.2-beta1 < 1.2),
// letter parts compare alphabetically (1.2-beta < 1.2-rc) and trailing zeros do not count
// (1.0 == 1.0.0). Returns <0, 0 or >0 like strcmp.
int compareVersions(QStringView a, QStringView b);

} // namespace lc::update
