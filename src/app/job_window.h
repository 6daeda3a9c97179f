// The window's side of a job: a locked job on the main panel, its settings read-only, and a job
// saved from the main panel's settings. GUI thread only.
#pragma once

#include <QString>
#include <QStringList>

#include "app/job.h"

class QWidget;

namespace driveflash::app {

// Sets the main panel to the job, makes the job's settings read-only and shows the job's name
// and hash.
void show_locked_job(int panel, const Job& job);
// The job the main panel's settings and chosen firmware make, with the station's `ports`; on a
// firmware that cannot be read or would be refused, nothing, and why in `error`.
std::optional<Job> job_of_panel(int panel, const QStringList& ports, QString& error);
// Asks where to save a job (Qt's save dialog, labelled in both languages); "" when cancelled.
QString ask_job_file(QWidget* parent, const QString& suggested);

}  // namespace driveflash::app
