// The pulse over a view (see SNP_FlashLayer.h).
#include "SNP_FlashLayer.h"

#include "SNP_Resources.h"

#include <QEasingCurve>
#include <QEvent>
#include <QPainter>
#include <QVariantAnimation>

#include <algorithm>

namespace {
constexpr double kBloomRadius = 10.0;
constexpr double kBorderWidth = 10.0;
} // namespace

SNP_FlashLayer::SNP_FlashLayer(QWidget* view) : QWidget(view)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setGeometry(view->rect());
    _frame = SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName));
    view->installEventFilter(this);
    setObjectName(QStringLiteral("flashLayer"));

    _animation = new QVariantAnimation(this);
    // One second up, one second down, for ever, easing in and out each way.
    _animation->setDuration(2000);
    _animation->setStartValue(0.0);
    _animation->setKeyValueAt(0.5, 1.0);
    _animation->setEndValue(0.0);
    _animation->setLoopCount(-1);
    connect(_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        static const QEasingCurve ease(QEasingCurve::InOutSine);
        _intensity = ease.valueForProgress(v.toDouble());
        update();
    });
    show();
    raise();
    _animation->start();
}

bool SNP_FlashLayer::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return false;
}

void SNP_FlashLayer::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(kBorderWidth / 2, kBorderWidth / 2, -kBorderWidth / 2, -kBorderWidth / 2);
    // Bloom: soft rings inside the border, stronger with the intensity.
    for (int i = 1; i <= int(kBloomRadius); ++i) {
        QColor glow = SNP_Resources::accentColor();
        glow.setAlphaF(float(std::clamp(_intensity * (1.0 - double(i) / (kBloomRadius + 1)) * 0.6, 0.0, 1.0)));
        p.setPen(QPen(glow, 2.0));
        p.drawRect(r.adjusted(i * 1.5, i * 1.5, -i * 1.5, -i * 1.5));
    }
    if (!_frame.isNull())
        p.drawImage(QRectF(rect()), _frame);
    p.setPen(QPen(SNP_Resources::accentColor(), kBorderWidth));
    p.drawRect(r);
}
