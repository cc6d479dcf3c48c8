#include "model/Preset.h"

#include "model/JsonRead.h"

#include <QHashFunctions>

namespace lc {

namespace {
const QString kSeparator = QStringLiteral(" \u00B7 ");
}

const std::array<Preset, 6>& Preset::builtIn() {
    static const std::array<Preset, 6> table{{
        {QStringLiteral("16:9 Horizontal \u00B7 YouTube"), 1920, 1080},
        {QStringLiteral("9:16 Vertical \u00B7 Shorts/Reels/TikTok"), 1080, 1920},
        {QStringLiteral("1:1 Square"), 1080, 1080},
        {QStringLiteral("4:5 Portrait \u00B7 Instagram"), 1080, 1350},
        {QStringLiteral("4:3 Classic"), 1440, 1080},
        {QStringLiteral("16:9 4K"), 3840, 2160},
    }};
    return table;
}

Preset Preset::canonical(const Preset& p) {
    if (p.isCustom()) return p;
    for (const Preset& row : builtIn()) {
        if (row.width == p.width && row.height == p.height) return Preset{row.name, p.width, p.height};
    }
    return p;
}

QString Preset::id() const {
    return name + u'|' + QString::number(width) + u'x' + QString::number(height);
}

QString Preset::label() const {
    return name + QStringLiteral(" (") + QString::number(width) + QChar(0x00D7) + QString::number(height) +
           u')';
}

QString Preset::fileLabel() const {
    if (isCustom())
        return QStringLiteral("Custom ") + QString::number(width) + u'x' + QString::number(height);
    QString head = name;
    const qsizetype cut = head.indexOf(kSeparator);
    if (cut >= 0) head.truncate(cut);
    head.replace(u':', u'x');
    head.replace(u'/', u'-');
    return head;
}

QJsonObject Preset::toJson() const {
    return QJsonObject{
        {QStringLiteral("name"), name}, {QStringLiteral("width"), width}, {QStringLiteral("height"), height}};
}

std::optional<Preset> Preset::fromJson(const QJsonValue& value) {
    if (!value.isObject()) return std::nullopt;
    const QJsonObject o = value.toObject();
    const auto name = json::string(o.value(QLatin1String("name")));
    const auto width = json::integer(o.value(QLatin1String("width")));
    const auto height = json::integer(o.value(QLatin1String("height")));
    if (!name || !width || !height) return std::nullopt;
    return Preset{*name, *width, *height};
}

size_t qHash(const Preset& p, size_t seed) noexcept {
    return qHashMulti(seed, p.name, p.width, p.height);
}

} // namespace lc
