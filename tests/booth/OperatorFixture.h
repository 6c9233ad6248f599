// A booth controller woken up over the simulated camera, as at the kiosk: the first
// camera-list update fills the camera menu and loads the first camera. Shared by the
// operator-panel tests.
#pragma once

#include "AppController.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class OperatorFixture : public ::testing::Test {
protected:
    // Called by SetUp; a test may prepare the simulated camera in between (see startBooth).
    void prepare()
    {
        ASSERT_TRUE(dir.isValid());
        SNP_Log::resetForTesting();
        logPath = dir.filePath(QStringLiteral("booth.log"));
        qputenv("BOOTH_LOG_FILE", QFile::encodeName(logPath));
        SNP_Preferences::setStoreFileForTesting(dir.filePath(QStringLiteral("booth.ini")));
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        sim = std::make_shared<SimCameraSdk>();
        EdsSetCurrentSdk(sim);
        firstId = sim->connectedCameras().front();
    }
    // Wakes the controller and waits until the first camera is current and has reported.
    void startBooth()
    {
        c = std::make_unique<AppController>();
        c->awakeFromNib();
        ASSERT_TRUE(waitUntil([&] { return c->_currentCamera != nullptr; }, 10000));
        ASSERT_TRUE(sim->waitForIdle());
        ASSERT_TRUE(waitUntil([&] { return logText().contains(QStringLiteral("property DateTime")); }));
    }
    void SetUp() override
    {
        prepare();
        startBooth();
    }
    void TearDown() override
    {
        c.reset();
        if (SNP_CanonCameraPtr loaded = SNP_CanonCamera::loadedCamera())
            loaded->unload();
        if (sim)
            EXPECT_TRUE(sim->waitForIdle());
        EXPECT_TRUE(SNP_CanonCamera::waitForCameraListUpdates(5000));
        SNP_CanonCamera::resetRegistryForTesting();
        EdsSetCurrentSdk(nullptr);
        std::weak_ptr<SimCameraSdk> gone = sim;
        sim.reset();
        // Queued main-thread hand-offs still hold cameras, and cameras hold the SDK.
        EXPECT_TRUE(waitUntil([&] { return gone.expired(); }));
        SNP_Preferences::setStoreFileForTesting(QString());
        SNP_Log::resetForTesting();
    }

    QString logText() const
    {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    qsizetype logMark() const { return logText().size(); }
    QString logSince(qsizetype mark) const { return logText().mid(mark); }

    template <typename T>
    T* widget(const char* name) const
    {
        T* found = c->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QComboBox* menu(int32_t tag) const { return qobject_cast<QComboBox*>(c->viewWithTag(tag)); }
    QLineEdit* field(int32_t tag) const { return qobject_cast<QLineEdit*>(c->viewWithTag(tag)); }
    QDateTimeEdit* clockPicker() const { return qobject_cast<QDateTimeEdit*>(c->viewWithTag(6)); }
    QStringList titles(QComboBox* box) const
    {
        QStringList out;
        for (int i = 0; i < box->count(); ++i)
            out << box->itemText(i);
        return out;
    }
    // The operator picks an item, as a click in the open menu does.
    void choose(QComboBox* box, const QString& title)
    {
        const int index = box->findText(title);
        ASSERT_GE(index, 0) << qPrintable(title);
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    void click(const char* name)
    {
        auto* button = widget<QAbstractButton>(name);
        ASSERT_NE(button, nullptr);
        button->click();
    }

    QTemporaryDir dir;
    QString logPath;
    std::shared_ptr<SimCameraSdk> sim;
    int firstId = 0;
    std::unique_ptr<AppController> c;
};
