#include "app/run_log.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>
#include <QString>
#include <QSysInfo>
#include <algorithm>
#include <array>
#include <charconv>

#include "bsl/flash_map.h"
#include "platform/files.h"

namespace driveflash::app {
namespace {

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

// A lock left by a program that died is taken over at once (QLockFile knows its process is
// gone); a live one is waited for `wait_ms`.
template <typename F>
std::string locked(const std::filesystem::path& path, int wait_ms, F&& work) {
  std::error_code ec;
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  if (!std::filesystem::is_directory(folder, ec)) {
    return "cannot write the run log " + platform::utf8_of(path) + ": there is no folder " +
           platform::utf8_of(folder);
  }
  QLockFile lock(qpath(path) + ".lock");
  if (!lock.tryLock(wait_ms)) {
    const std::string reason =
        lock.error() == QLockFile::LockFailedError
            ? "another program has held its lock for " +
                  (wait_ms % 1000 == 0 ? std::to_string(wait_ms / 1000) : number(wait_ms / 1e3)) +
                  " s"
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

std::string csv_cell(std::string_view text) {
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      // CR LF, LF or a lone CR: one line end.
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
      line += " | ";
    } else {
      line += text[i];
    }
  }
  if (!line.empty() && (line[0] == '=' || line[0] == '+' || line[0] == '-' || line[0] == '@')) {
    line.insert(0, 1, '\'');
  }
  return csv_field(line);
}

void fill_from_outcome(RunRecord& row, const run::Outcome& o, const std::string& last_line) {
  row.sha256 = o.sha256;
  row.result = run::result_name(o.result);
  row.message = o.programmed() ? last_line : run::ending_text(o);
  if (o.programmed()) {
    row.status = 0;
  } else if (o.cause == run::Cause::kDownload || o.cause == run::Cause::kFlashDiffers) {
    row.status = o.status;
  }
  row.seconds = o.seconds;
  if (o.result != run::Result::kRefused) {
    row.pages = o.pages;
    row.bytes = o.pages * kFlashPage;
  }
  row.drive_id = o.drive_id;
  row.retries = o.retries_used;
}

std::string csv_row(const RunRecord& r) {
  const std::array<std::string, 16> fields = {r.time,
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
                                              std::to_string(r.count),
                                              r.drive_id,
                                              r.unit,
                                              std::to_string(r.retries)};
  std::string row;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) {
      row += ',';
    }
    row += csv_cell(fields[i]);
  }
  return row + "\r\n";
}

std::string RunLog::prepare() const {
  return locked(path_, lock_wait_ms_, [](QFile& file) { return open_for_append(file); });
}

namespace {

void stamp(RunRecord& record) {
  if (record.time.empty()) {
    record.time = utc_now_iso8601();
  }
  if (record.host.empty()) {
    record.host = host_name();
  }
}

}  // namespace

std::string RunLog::append(RunRecord record) const {
  stamp(record);
  return append_rows({csv_row(record)});
}

std::string RunLog::append_rows(const std::vector<std::string>& rows) const {
  std::string text;
  for (const std::string& row : rows) {
    text += row;
  }
  return locked(path_, lock_wait_ms_, [&text](QFile& file) {
    if (std::string error = open_for_append(file); !error.empty()) {
      return error;
    }
    // One write of the rows while the lock is held: nobody else's row can come between.
    const auto size = static_cast<qint64>(text.size());
    if (file.write(text.data(), size) != size || !file.flush()) {
      return "cannot write to the run log " + file.fileName().toStdString() + ": " + why(file);
    }
    return std::string();
  });
}

namespace {

constexpr int kKeptLockWaitMs = 1000;

// Appends `rows` waiting at most `wait_ms` for the lock.
std::string append_waiting(RunLog& log, const std::vector<std::string>& rows, int wait_ms) {
  const int usual = log.lock_wait();
  log.set_lock_wait(std::min(usual, wait_ms));
  std::string why = log.append_rows(rows);
  log.set_lock_wait(usual);
  return why;
}

}  // namespace

std::string KeptLog::append(RunRecord record) {
  stamp(record);
  const int wait = kept_.empty() ? log_.lock_wait() : kKeptLockWaitMs;
  kept_.push_back(csv_row(record));
  why_ = append_waiting(log_, kept_, wait);
  if (why_.empty()) {
    kept_.clear();
  }
  return why_;
}

std::filesystem::path KeptLog::side_path() const {
  std::filesystem::path side = log_.path();
  side.replace_filename(platform::path_from_utf8(platform::utf8_of(log_.path().stem()) +
                                                 ".unsaved" +
                                                 platform::utf8_of(log_.path().extension())));
  return side;
}

std::string KeptLog::finish() {
  if (kept_.empty()) {
    return "";
  }
  const std::string first_why = why_;
  if (append_waiting(log_, kept_, kKeptLockWaitMs).empty()) {
    const std::size_t n = kept_.size();
    kept_.clear();
    return std::to_string(n) + " 行记录已补写到运行记录 / " + std::to_string(n) +
           (n == 1 ? " row" : " rows") + " kept earlier went into the run log " +
           platform::utf8_of(log_.path());
  }
  // The side file is the log's own kind of file, so that the rows can be pasted back as they
  // are; it has a lock of its own, as several programs may end at once.
  RunLog side(side_path());
  side.set_lock_wait(1000);
  const std::string side_why = side.append_rows(kept_);
  const std::size_t n = kept_.size();
  const std::string count = std::to_string(n) + (n == 1 ? " row" : " rows");
  if (side_why.empty()) {
    kept_.clear();
    return "运行记录无法写入，" + std::to_string(n) + " 行记录已另存到 " +
           platform::utf8_of(side.path()) + " / The run log could not be written (" + first_why +
           "): " + count + " went to " + platform::utf8_of(side.path()) + " instead";
  }
  // Nowhere to write: the rows themselves go with the message, so that none goes unseen.
  std::string text = "运行记录和备用文件都无法写入 / Neither the run log nor " +
                     platform::utf8_of(side.path()) + " could be written (" + first_why + "; " +
                     side_why + "); the " + count + ":";
  for (const std::string& row : kept_) {
    text += "\n" + row.substr(0, row.size() - 2);
  }
  kept_.clear();
  return text;
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
