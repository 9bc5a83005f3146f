#include "SoundPlayerQt.h"

#include "SoundDebuggableClass.h"

#include <QAudioFormat>
#include <QAudioOutput>
#include <QDebug>

#include <ostream>

SoundPlayerQt::SoundPlayerQt(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer)
    : SoundPlayer(std::move(reader), algo, defaultEqualizer)
{
    qRegisterMetaType<QAudio::State>("QAudio::State");

    QAudioFormat format;
    format.setSampleRate(mDevice ? static_cast<int>(mDevice->getSampleRate()) : 44100);
    format.setChannelCount(2);
    format.setSampleSize(16);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);

    mOutput = new QAudioOutput(format, nullptr);
    mOutput->setNotifyInterval(500);

    if (mDevice)
        connect(mDevice, &QIODevice::readChannelFinished, this, &SoundPlayerQt::endOfData, Qt::DirectConnection);
    connect(mOutput, &QAudioOutput::stateChanged, this, &SoundPlayerQt::audioStatusChanged, Qt::DirectConnection);
    connect(mOutput, &QAudioOutput::notify, this, &SoundPlayerQt::notified, Qt::DirectConnection);
}

SoundPlayerQt::~SoundPlayerQt()
{
    qDebug() << "deleting player";
    // The output stops pulling before the device goes.
    if (mOutput) {
        mOutput->disconnect(this);
        mOutput->stop();
    }
    delete mOutput;
    mOutput = nullptr;
}

void SoundPlayerQt::preload()
{
    if (mDevice)
        mDevice->start();
    emit playerLoaded();
}

void SoundPlayerQt::start()
{
    if (!mDevice) {
        SoundDebuggableClass::setError(QStringLiteral("no file to play"), "SoundPlayerQt::start");
        return;
    }
    mStopped = false;
    mFinishReported = false;
    mProgressTicks = 0;
    if (mDevice->getThread() <= 0)
        mDevice->start();
    // A device that could not start (its graph refused the stream) is not
    // open: the output would only fail to read it.
    const bool deviceReady = mDevice->isOpen();
    if (deviceReady)
        mOutput->start(mDevice);
    if (!deviceReady || mOutput->error() != QAudio::NoError) {
        SoundDebuggableClass::getOStream() << tr("Error opening audio device").toUtf8().constData() << std::endl;
        const QAudio::Error error = mOutput->error();
        SoundDebuggableClass::setError(!deviceReady ? QStringLiteral("the file could not be played (its processing did not start)")
                                       : error == QAudio::OpenError ? QStringLiteral("no audio output is available")
                                                                    : QStringLiteral("the audio output failed (Qt audio error %1)").arg(error),
                                       "SoundPlayerQt");
        qDebug() << "start failure :" << mOutput->error();
        mDevice->stop();
        audioStatusChanged(QAudio::StoppedState);
    }
    qDebug() << "end start";
}

void SoundPlayerQt::stop()
{
    if (mStopped)
        return;
    mOutput->stop();
    qDebug() << "audio stopped";
    mDevice->stop();
    qDebug() << "device stopped";
    mStopped = true;
}

void SoundPlayerQt::endOfData()
{
    qDebug() << "end of data";
    reportFinished(true);
}

void SoundPlayerQt::notified()
{
    ++mProgressTicks;
    emit playingProgress(mOutput->notifyInterval() * mProgressTicks / 1000.0);
}

void SoundPlayerQt::audioStatusChanged(QAudio::State state)
{
    qDebug() << "player state" << state;
    switch (state) {
    case QAudio::ActiveState:
        emit playingStarted();
        break;
    case QAudio::SuspendedState:
    case QAudio::StoppedState:
    case QAudio::IdleState:
        mStopped = true;
        qDebug() << "player finished";
        reportFinished(state == QAudio::IdleState);
        break;
    default:
        break;
    }
}

void SoundPlayerQt::reportFinished(bool atEnd)
{
    // The end of the data reaches the player twice (the device's end of data,
    // then the output going idle): the first report is the one that counts.
    if (mFinishReported)
        return;
    mFinishReported = true;
    emit playingHasFinished(atEnd);
}
