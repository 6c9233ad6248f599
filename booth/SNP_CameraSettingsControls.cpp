// The operator's camera settings controls (see the header). Main thread only.
#include "SNP_CameraSettingsControls.h"

#include "AppController.h"
#include "SNP_CanonCamera.h"
#include "SNP_CanonCameraNames.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_Log.h"
#include "SNP_NSStringAdditions.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// The settings refreshed together, in order; ended by 0.
constexpr uint32_t kCameraPropertyTags[] = {
    0x400, 0x405, 0x406, 0x407, 0x106, 0x402, 0x404, 0x401, 0x403, 0x100, 0x50e, 0x8, 0x10, 0x7, 0x419, 0x4, 0x418, 0,
};

constexpr int32_t kAEModeTag = 1024;
constexpr int32_t kAvTag = 1029;
constexpr int32_t kTvTag = 1030;

constexpr int kCameraClockTickMs = 1000;

// A widget's tag: its integer "tag" property, 0 without one.
int32_t tagOf(const QObject* object)
{
    return object ? object->property("tag").toInt() : 0;
}

// The tag search of a view as the widget tree offers it: the view itself, then its
// children depth first; of a tab widget only the page that is shown.
QWidget* ownTagSearch(QWidget* view, int32_t tag)
{
    if (!view)
        return nullptr;
    if (tagOf(view) == tag)
        return view;
    if (auto* tabs = qobject_cast<QTabWidget*>(view))
        return ownTagSearch(tabs->currentWidget(), tag);
    for (QObject* child : view->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child)) {
            if (QWidget* found = ownTagSearch(widget, tag))
                return found;
        }
    }
    return nullptr;
}

QString describeControl(const QWidget* control)
{
    if (!control)
        return QStringLiteral("(null)");
    return QStringLiteral("<%1: %2>").arg(QString::fromLatin1(control->metaObject()->className()),
                                          control->objectName());
}

}  // namespace

SNP_CameraSettingsControls::SNP_CameraSettingsControls(AppController& controller) : _controller(controller) {}

// ---- wiring ----

void SNP_CameraSettingsControls::connectControls()
{
    for (const uint32_t* tag = kCameraPropertyTags; *tag; ++tag) {
        QWidget* control = viewWithTag(int32_t(*tag));
        if (auto* menu = qobject_cast<QComboBox*>(control)) {
            connect(menu, &QComboBox::activated, this, [this, menu] { setCameraProperty(menu); });
        } else if (auto* field = qobject_cast<QLineEdit*>(control)) {
            if (field->isReadOnly())
                continue;
            // Only a text the operator changed is written.
            connect(field, &QLineEdit::editingFinished, this, [this, field] {
                if (!field->isModified())
                    return;
                field->setModified(false);
                setCameraProperty(field);
            });
        }
    }
    if (auto* picker = _controller.findChild<QDateTimeEdit*>(QStringLiteral("_cameraClockPicker"))) {
        // Only a time the operator set is written (the running display changes the picker
        // with its signals blocked), and it runs on from the moment it was set, so leaving
        // the picker a minute later writes no stale time.
        connect(picker, &QDateTimeEdit::dateTimeChanged, this, [this] { _cameraClockEdited.start(); });
        connect(picker, &QDateTimeEdit::editingFinished, this, [this, picker] {
            if (!_cameraClockEdited.isValid())
                return;
            const QDateTime set = picker->dateTime().addMSecs(_cameraClockEdited.elapsed());
            _cameraClockEdited.invalidate();
            {
                const QSignalBlocker quiet(picker);
                picker->setDateTime(set);
            }
            setCameraProperty(picker);
        });
    }
}

// ---- control lookup ----

QWidget* SNP_CameraSettingsControls::viewWithTag(int32_t tag) const
{
    if (QWidget* found = ownTagSearch(&_controller, tag))
        return found;
    return viewWithTag(tag, &_controller);
}

QWidget* SNP_CameraSettingsControls::viewWithTag(int32_t tag, QWidget* view) const
{
    if (!view)
        return nullptr;
    QWidget* found = ownTagSearch(view, tag);
    for (QObject* child : view->children()) {
        if (found)
            break;
        auto* subview = qobject_cast<QWidget*>(child);
        if (!subview)
            continue;
        if (auto* tabs = qobject_cast<QTabWidget*>(subview)) {
            for (int i = 0; i < tabs->count() && !found; ++i)
                found = viewWithTag(tag, tabs->widget(i));
        } else {
            found = viewWithTag(tag, subview);
        }
    }
    return found;
}

// ---- filling controls ----

void SNP_CameraSettingsControls::updateCameraProperties()
{
    const std::shared_ptr<SNP_CanonCamera> camera = _controller.currentCamera();
    for (const uint32_t* tag = kCameraPropertyTags; *tag; ++tag) {
        std::optional<QVariantMap> values;
        if (camera)
            values = camera->supportedValuesForPropertyID(*tag);
        updateControlWithTagWithValues(int32_t(*tag), values);
    }
}

void SNP_CameraSettingsControls::updateControlWithTagWithValues(int32_t tag, const std::optional<QVariantMap>& values)
{
    QWidget* control = tag ? viewWithTag(tag) : nullptr;
    if (auto* menu = qobject_cast<QComboBox*>(control)) {
        const QString selected = menu->currentIndex() >= 0 ? menu->currentText() : QString();
        menu->clear();
        if (values && !values->isEmpty()) {
            QStringList titles = values->keys();
            std::sort(titles.begin(), titles.end(), [](const QString& a, const QString& b) {
                return SNP_NSStringAdditions::numericalCaseInsensitiveCompare(a, b) < 0;
            });
            menu->addItems(titles);
        }
        menu->setCurrentIndex(selected.isEmpty() ? -1 : menu->findText(selected));
    } else if (auto* field = qobject_cast<QLineEdit*>(control)) {
        field->setText(QString());  // a table is not a text
    }
    // A table for a tag without a menu or field is dropped.
}

void SNP_CameraSettingsControls::updateControlWithTagWithValue(int32_t tag, const QVariant& value)
{
    QWidget* control = tag ? viewWithTag(tag) : nullptr;
    const QByteArray shown = SNP_CanonCamera::describeValue(value).toUtf8();
    if (tag == 0 || !control) {
        SNP_Log::debugf("failed to update control for tag (%u) with value %s", uint32_t(tag), shown.constData());
        return;
    }
    const QByteArray name = strForPropertyID(uint32_t(tag)).toUtf8();
    SNP_Log::debugf("trying to update control %s %s (%u) with value %s", qUtf8Printable(describeControl(control)),
                    name.constData(), uint32_t(tag), shown.constData());

    QString text;  // null: none
    if (SNP_CanonCamera::isNumberValue(value)) {
        if (const std::shared_ptr<SNP_CanonCamera> camera = _controller.currentCamera())
            text = camera->stringForPropertyID(uint32_t(tag), SNP_CanonCamera::uint32Value(value));
    } else if (value.typeId() == QMetaType::QString) {
        text = value.toString();
        if (text.isNull())
            text = QStringLiteral("");
    }

    auto* menu = qobject_cast<QComboBox*>(control);
    if (menu && !text.isNull()) {
        SNP_Log::debugf("updating popup %s (%u) with value %s", name.constData(), uint32_t(tag), shown.constData());
        if (menu->findText(text) < 0)
            menu->addItem(text);
        menu->setCurrentIndex(menu->findText(text));
        menu->setToolTip(text);
        return;
    }
    if (auto* field = qobject_cast<QLineEdit*>(control)) {
        field->setText(text.isNull() ? QString() : text);
        field->setModified(false);
        return;
    }
    if (auto* picker = qobject_cast<QDateTimeEdit*>(control)) {
        SNP_Log::debugf("setting camara clock to %s", shown.constData());
        if (value.typeId() == QMetaType::QDateTime && value.toDateTime().isValid())
            runCameraClock(picker, value.toDateTime());
        return;
    }
    SNP_Log::debugf("no control %s (%u) to update with value %s", name.constData(), uint32_t(tag), shown.constData());
}

void SNP_CameraSettingsControls::setEnabledForAEMode(const QVariant& value)
{
    bool tv = false;
    bool av = false;
    if (SNP_CanonCamera::isNumberValue(value)) {
        switch (SNP_CanonCamera::uint32Value(value)) {
        case 1:  // Shutter-Speed Priority AE
            tv = true;
            break;
        case 2:  // Aperture Priority AE
            av = true;
            break;
        case 3:  // Manual Exposure
            tv = av = true;
            break;
        default:
            break;
        }
    }
    if (QWidget* control = viewWithTag(kTvTag))
        control->setEnabled(tv);
    if (QWidget* control = viewWithTag(kAvTag))
        control->setEnabled(av);
}

// ---- the camera clock ----

void SNP_CameraSettingsControls::runCameraClock(QDateTimeEdit* picker, const QDateTime& date)
{
    {
        const QSignalBlocker quiet(picker); // the camera's value, not the operator's
        picker->setDateTime(date);
    }
    _cameraClockEdited.invalidate();
    _cameraClockSkew = QDateTime::currentDateTime().msecsTo(date) / 1000.0;
    stopCameraClock();
    _cameraClockTimer = new QTimer(&_controller);
    _cameraClockTimer->setProperty("userInfo", QVariant::fromValue<QObject*>(picker));
    QTimer* timer = _cameraClockTimer;
    connect(timer, &QTimer::timeout, this, [this, timer] { animateDatePicker(timer); });
    timer->start(kCameraClockTickMs);
}

void SNP_CameraSettingsControls::animateDatePicker(QTimer* timer)
{
    if (!timer)
        return;
    auto* picker = qobject_cast<QDateTimeEdit*>(timer->property("userInfo").value<QObject*>());
    // Not while the operator is typing a time into it.
    if (!picker || picker->hasFocus())
        return;
    const QSignalBlocker quiet(picker);
    picker->setDateTime(QDateTime::currentDateTime().addMSecs(qint64(std::llround(_cameraClockSkew * 1000.0))));
}

void SNP_CameraSettingsControls::stopCameraClock()
{
    if (!_cameraClockTimer)
        return;
    _cameraClockTimer->stop();
    _cameraClockTimer->deleteLater();
    _cameraClockTimer = nullptr;
}

// ---- notifications ----

void SNP_CameraSettingsControls::propertiesChanged(const SNP_Notification& notification)
{
    SNP_Log::debugf("SNP_CanonCameraPropertiesDidChange for camera %s",
                    qUtf8Printable(SNP_describeCamera(notification.object.camera().get())));
    const int32_t tag = int32_t(notification.userInfo.value(SNP_CanonCameraPropertyID).toUInt());
    std::optional<QVariantMap> values;
    if (notification.userInfo.contains(SNP_CanonCameraProperties))
        values = notification.userInfo.value(SNP_CanonCameraProperties).toMap();
    updateControlWithTagWithValues(tag, values);
}

void SNP_CameraSettingsControls::propertyChanged(const SNP_Notification& notification)
{
    const int32_t tag = int32_t(notification.userInfo.value(SNP_CanonCameraPropertyID).toUInt());
    const QVariant shown = notification.userInfo.value(SNP_CanonCameraProperty);
    const QVariant raw = notification.userInfo.value(SNP_CanonCameraPropertyValue);
    if (tag == kAEModeTag)
        setEnabledForAEMode(raw);
    updateControlWithTagWithValue(tag, shown);
}

// ---- operator actions ----

void SNP_CameraSettingsControls::setCameraClockToCurrent()
{
    if (const std::shared_ptr<SNP_CanonCamera> camera = _controller.currentCamera())
        camera->setCameraClock(QDateTime::currentDateTime());
}

void SNP_CameraSettingsControls::setCameraProperty(QObject* sender)
{
    const std::shared_ptr<SNP_CanonCamera> camera = _controller.currentCamera();
    const int32_t tag = tagOf(sender);
    if (auto* picker = qobject_cast<QDateTimeEdit*>(sender)) {
        if (camera)
            camera->setCameraClock(picker->dateTime());
        return;
    }
    QString text;  // null: none
    if (auto* menu = qobject_cast<QComboBox*>(sender)) {
        if (menu->currentIndex() >= 0)
            text = menu->currentText();
    } else if (auto* field = qobject_cast<QLineEdit*>(sender)) {
        text = field->text();
    }
    SNP_Log::debug(QStringLiteral("setting value \"") + (text.isNull() ? QStringLiteral("(null)") : text) +
                   QStringLiteral("\" for property ") + QString::number(tag));
    const bool written = camera && camera->setStringValue(text, uint32_t(tag));
    if (!written) {
        beep();
        // The camera tells its present value again, and the control follows it.
        if (camera)
            camera->updateValueForPropertyID(uint32_t(tag));
    }
}

void SNP_CameraSettingsControls::beep()
{
    ++_beepCount;
    QApplication::beep();
}
