// The success sound through Qt Multimedia.
//
// The worker asks for the sound; the GUI thread plays it, once, so the worker never waits for
// audio and never touches Qt. Without an audio output the sound is skipped without a word: an
// operator's bench without speakers is no fault.
#include <QAudioDevice>
#include <QCoreApplication>
#include <QMediaDevices>
#include <QPointer>
#include <QSoundEffect>
#include <QUrl>

#include "platform/qt/qt_panels.h"
#include "platform/sound.h"

namespace driveflash::platform {
namespace {

QPointer<QSoundEffect> g_effect;  // GUI thread only

void play(const std::string& path) {
  if (QMediaDevices::audioOutputs().isEmpty()) {
    return;
  }
  if (g_effect == nullptr) {
    g_effect = new QSoundEffect(QCoreApplication::instance());
  }
  g_effect->setAudioDevice(QMediaDevices::defaultAudioOutput());
  const QUrl source = QUrl::fromLocalFile(QString::fromStdString(path));
  if (g_effect->source() != source) {
    g_effect->setSource(source);  // loads in the background; play() waits for it
  }
  g_effect->setLoopCount(1);
  g_effect->play();
}

}  // namespace

void install_qt_sound() {
  start_gui_tasks();
  set_sound_player([](const std::string& path) {
    post_to_gui([path] { play(path); });
    return true;
  });
}

void uninstall_qt_sound() {
  set_sound_player({});
  delete g_effect.data();
}

}  // namespace driveflash::platform
