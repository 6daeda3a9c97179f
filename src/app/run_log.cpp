#include "app/run_log.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>
#include <QString>
#include <QSysInfo>
#include <array>
#include <charconv>

#include "platform/files.h"

namespace driveflash::app {
namespace {

// How long an append waits for another program's append to finish. A lock left by a program
// that died is taken over at once (QLockFile knows its process is gone).
constexpr int kLockWaitMs = 10000;

QString qpath(const std::filesystem::path& p) {
  return QString::fromStdU16String(p.u16string());
}

std::string number(double value) {
  // Not printf: the user's locale may write a decimal comma, which would split the field.
  std::array<char, 64> text{};
  const auto [end, error] =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, 3);
  return error == std::errc{} ? std::string(text.data(), end) : std::string();
}

template <typename T>
std::string optional_number(const std::optional<T>& value) {
  return value ? std::to_string(*value) : std::string();
}

std::string why(const QFile& file) {
  return file.errorString().toStdString();
}

// Opens the log for appending with its header in place; "" or why not.
std::string open_for_append(QFile& file) {
  if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
    return "cannot open the run log " + file.fileName().toStdString() +
           " for appending: " + why(file);
  }
  const qint64 size = file.size();
  QByteArray lead;
  if (size == 0) {
    lead = QByteArray(kRunLogHeader.data(), static_cast<qsizetype>(kRunLogHeader.size())) + "\r\n";
  } else if (file.seek(size - 1) && file.read(1) != "\n") {
    lead = "\r\n";  // a row cut short (a full disk, a crash): the next one starts a line of its own
  }
  if (!lead.isEmpty() && (file.write(lead) != lead.size() || !file.flush())) {
    return "cannot write to the run log " + file.fileName().toStdString() + ": " + why(file);
  }
  return "";
}

template <typename F>
std::string locked(const std::filesystem::path& path, F&& work) {
  std::error_code ec;
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  if (!std::filesystem::is_directory(folder, ec)) {
    return "cannot write the run log " + platform::utf8_of(path) + ": there is no folder " +
           platform::utf8_of(folder);
  }
  QLockFile lock(qpath(path) + ".lock");
  if (!lock.tryLock(kLockWaitMs)) {
    const std::string reason =
        lock.error() == QLockFile::LockFailedError
            ? "another program has held its lock for " + std::to_string(kLockWaitMs / 1000) + " s"
            : "cannot create its lock file";
    return "cannot write the run log " + platform::utf8_of(path) + ": " + reason + " (" +
           platform::utf8_of(path) + ".lock)";
  }
  QFile file(qpath(path));
  return work(file);
}

}  // namespace

std::string csv_field(std::string_view text) {
  const QByteArray utf8 =
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUtf8();
  std::string out(utf8.constData(), static_cast<std::size_t>(utf8.size()));
  if (out.find_first_of(",\"\r\n") == std::string::npos) {
    return out;
  }
  std::string quoted = "\"";
  for (const char c : out) {
    quoted += c;
    if (c == '"') {
      quoted += '"';
    }
  }
  return quoted + '"';
}

std::string csv_row(const RunRecord& r) {
  const std::array<std::string, 13> fields = {r.time,
                                              r.host,
                                              r.port,
                                              r.file,
                                              r.sha256,
                                              r.kind,
                                              r.result,
                                              optional_number(r.status),
                                              r.message,
                                              number(r.seconds),
                                              optional_number(r.pages),
                                              optional_number(r.bytes),
                                              std::to_string(r.count)};
  std::string row;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) {
      row += ',';
    }
    row += csv_field(fields[i]);
  }
  return row + "\r\n";
}

std::string RunLog::prepare() const {
  return locked(path_, [](QFile& file) { return open_for_append(file); });
}

std::string RunLog::append(RunRecord record) const {
  if (record.time.empty()) {
    record.time = utc_now_iso8601();
  }
  if (record.host.empty()) {
    record.host = host_name();
  }
  const std::string row = csv_row(record);
  return locked(path_, [&row](QFile& file) {
    if (std::string error = open_for_append(file); !error.empty()) {
      return error;
    }
    // One write of the whole row while the lock is held: nobody else's row can come between.
    const auto size = static_cast<qint64>(row.size());
    if (file.write(row.data(), size) != size || !file.flush()) {
      return "cannot write to the run log " + file.fileName().toStdString() + ": " + why(file);
    }
    return std::string();
  });
}

std::string file_sha256(const std::string& utf8_path) {
  QFile file(QString::fromStdString(utf8_path));
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
    return "";
  }
  return hash.result().toHex().toStdString();
}

std::string utc_now_iso8601() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
}

std::string host_name() {
  return QSysInfo::machineHostName().toStdString();
}

std::filesystem::path user_run_log_path() {
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  return std::filesystem::path(dir.toStdU16String()) / "runs.csv";
}

}  // namespace driveflash::app
