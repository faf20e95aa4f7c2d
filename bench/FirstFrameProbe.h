#pragma once

#include <QObject>

#include <atomic>

class QQmlApplicationEngine;

// Notes when the engine's first window has been created and when it has
// shown its first frame, then ends the event loop.
class FirstFrameProbe : public QObject
{
    Q_OBJECT
public:
    // Gives up when no frame has come after this many milliseconds.
    static constexpr int timeout = 60000;

    // Connect before the engine loads its document.
    explicit FirstFrameProbe(QQmlApplicationEngine &engine);

    // Prints the times since the process started (at main(), window made,
    // first frame) and the processor time used up to the first frame as a
    // result line; returns the exit code.
    int report(const QString &caseName, double mainEnteredAt) const;

private:
    void watch(QObject *root);

    std::atomic<double> windowCreatedAt{0};
    // Written on the render thread, which swaps the frames.
    std::atomic<double> firstFrameAt{0};
    std::atomic<double> processorTimeAtFirstFrame{0};
};
