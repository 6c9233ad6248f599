#include "AppController.h"
#include "ui_AppController.h"

#include <QMutex>
#include <QMutexLocker>

const char* const PrefKeyCameraScratchFolder = "scratchFolder";
const char* const PrefKeyMainImagesFolder = "mainImagesFolder";
const char* const PrefKeyForUploadFolder = "forUploadFolder";
const char* const PrefKeyForTouchScreenCountValue = "touchScreenCountValue";

namespace {
QMutex gFolderLock;
QString gScratch, gMainImages, gForUpload;
}

QString gScratchFolder() { QMutexLocker l(&gFolderLock); return gScratch; }
QString gMainImagesFolder() { QMutexLocker l(&gFolderLock); return gMainImages; }
QString gForUploadFolder() { QMutexLocker l(&gFolderLock); return gForUpload; }
void setGScratchFolder(const QString& p) { QMutexLocker l(&gFolderLock); gScratch = p; }
void setGMainImagesFolder(const QString& p) { QMutexLocker l(&gFolderLock); gMainImages = p; }
void setGForUploadFolder(const QString& p) { QMutexLocker l(&gFolderLock); gForUpload = p; }

AppController::AppController(QWidget* parent) : QWidget(parent), ui(new Ui::AppController)
{
    startup();
    ui->setupUi(this);
    _touchView = ui->_touchView;
}

AppController::~AppController() = default;

void AppController::startup() {}
void AppController::awakeFromNib() { _screenNumber = 0; }
void AppController::applicationDidFinishLaunching() {}
void AppController::terminate(QObject*) {}
void AppController::alert() {}
void AppController::setDownloadFolder(QObject*) {}
void AppController::setForUploadFolder(QObject*) {}
void AppController::setMainImagesFolder(QObject*) {}
void AppController::updateWatchdogCounter() { _watchdogCount.fetch_add(1); }
void AppController::nextScreen(QObject*) {}
