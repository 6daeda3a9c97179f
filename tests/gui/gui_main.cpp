// The window tests need one QApplication for the whole program, on the offscreen platform
// unless another is asked for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

// Qt and the sound server's client are not built with the thread sanitizer. Their own threads
// (the pool Qt paints and converts images with, the audio client's main loop) synchronise
// through locks the sanitizer cannot see, so what their code allocates, copies and frees there
// would be reported as races. None of our code runs on those threads, and our own threads never
// call Qt: accesses made from inside these libraries are left out, all of ours are checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so\n"
         "called_from_lib:libQt6Gui.so\n"
         "called_from_lib:libQt6Widgets.so\n"
         "called_from_lib:libQt6Multimedia.so\n"
         "called_from_lib:libpulse.so\n"
         "called_from_lib:libpulsecommon\n";
}

int main(int argc, char** argv) {
  // Offscreen, the screen is the small one the window must fit: 1024 x 768. The test script
  // asks for plain offscreen; a platform with options of its own is left as it is given.
  QTemporaryDir screen_dir;
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform.isEmpty() || platform == "offscreen") {
    const QString config = screen_dir.filePath(QStringLiteral("screen.json"));
    QFile file(config);
    if (screen_dir.isValid() && file.open(QIODevice::WriteOnly)) {
      file.write(R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": 1024, "height": 768,
                  "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
      file.close();
      qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + config.toUtf8());
    } else {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
  }
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
