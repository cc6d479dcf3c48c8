#pragma once
// Rounded outlines around chosen windows on the screen itself: click-through overlay windows that
// follow their targets (position, size, visibility, stacking) ten times a second. They are never
// part of a recording, since capture reads each window's own pixels. Main thread only.
#include "platform/Geometry.h"
#include "platform/WindowServer.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace lc {

struct OutlineView {
    enum class Style { focused, recording, idle };

    static constexpr double kCornerRadius = 24;
    // The stroke's inner edge lies this far inside the overlay's edge, whatever its width.
    static constexpr double kInnerEdge = 3.5;

    static double lineWidth(Style style);
    static Rgba colour(Style style);
    static RingStyle ring(Style style);
};

class OutlineManager : public QObject {
    Q_OBJECT
public:
    struct Target {
        std::uint32_t id = 0;
        OutlineView::Style style = OutlineView::Style::recording;
        friend bool operator==(const Target&, const Target&) = default;
    };
    using Provider = std::function<std::vector<Target>()>;

    static constexpr int kRefreshMs = 100;
    static constexpr double kMargin = 4;
    static constexpr const char* kTitle = "lc-outline";

    // Without a window server (no display) the manager runs but shows nothing.
    explicit OutlineManager(std::shared_ptr<WindowServer> server, QObject* parent = nullptr);
    ~OutlineManager() override;

    // Stores the provider; starts the refresh timer (and refreshes at once) unless it runs already,
    // in which case the new provider is used from the next refresh on.
    void start(Provider provider);
    // Stops refreshing and closes every outline.
    void stop();
    bool isRunning() const { return timer_.isActive(); }

    // The overlay around a target, when there is one (shown or hidden).
    std::optional<std::uint32_t> overlayFor(std::uint32_t target) const;
    std::size_t overlayCount() const { return wins_.size(); }

    // The overlay's frame for a target's frame: kMargin points around it on every side.
    static Rect outlineFrame(const Rect& target);

    // One refresh; the timer calls it.
    void tick();

private:
    std::shared_ptr<WindowServer> server_;
    std::map<std::uint32_t, std::unique_ptr<OverlayWindow>> wins_;
    QTimer timer_;
    Provider provider_;
};

} // namespace lc
