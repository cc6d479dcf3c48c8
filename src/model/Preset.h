#pragma once
// The pixel size of one output movie, with the fixed table of built-in sizes.
#include <QJsonObject>
#include <QString>
#include <QtGlobal>
#include <array>
#include <cstddef>
#include <functional>
#include <optional>

namespace lc {

struct Preset {
    QString name;
    qint64 width = 0;
    qint64 height = 0;

    // Six rows; the order matters (canonical lookup, command-line preset indices).
    static const std::array<Preset, 6>& builtIn();
    // Row 1, used wherever a preset is missing.
    static const Preset& defaultPreset() { return builtIn()[0]; }
    // Brings a stored preset up to the current built-in name for its size; "Custom" and
    // sizes no built-in row has are kept as they are.
    static Preset canonical(const Preset& p);

    bool isCustom() const { return name == QLatin1String("Custom"); }
    QString id() const;        // "name|WxH"
    QString label() const;     // "name (W×H)"
    QString fileLabel() const; // "16x9 Horizontal", "Custom 1280x720"

    QJsonObject toJson() const;
    // All three keys are required and must have the right type.
    static std::optional<Preset> fromJson(const QJsonValue& value);

    friend bool operator==(const Preset&, const Preset&) = default;
};

size_t qHash(const Preset& p, size_t seed = 0) noexcept;

} // namespace lc

template <> struct std::hash<lc::Preset> {
    size_t operator()(const lc::Preset& p) const noexcept { return lc::qHash(p); }
};
