#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <span>

class QAudioSource;
class QIODevice;

namespace kalimor::follow {

// Audio from the sound server (PulseAudio, or PipeWire through its
// PulseAudio service) through Qt Multimedia: the default input, or the
// source whose name or description is given (the monitor of the null sink
// WSJT-X plays into, "kalimor.monitor"). Mono float at 48 kHz, in blocks of
// 5 ms, handed to the sink on the thread the feed lives in.
class PulseFeed : public QObject {
    Q_OBJECT
public:
    using Sink = std::function<void(std::span<const float> samples, double rate)>;
    explicit PulseFeed(QObject* parent = nullptr);
    ~PulseFeed() override;
    // False with `why` when no such source is there or it cannot be opened.
    bool start(const QString& source, Sink sink, QString* why);
    void stop();
    double rate() const { return m_rate; }
    // The sources there are, by name, for the window's list.
    static QStringList sources();

private:
    void readMore();

    std::unique_ptr<QAudioSource> m_source;
    QIODevice* m_device = nullptr;
    Sink m_sink;
    double m_rate = 48000;
};

} // namespace kalimor::follow
