#pragma once

// What the test files have in common: GoogleTest, readable Qt values in its messages, the Qt
// classes nearly every test touches, and the names they are written with.
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace shotlark::test {}

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace shotlark;
using namespace shotlark::test;
