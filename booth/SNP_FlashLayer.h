// The pulse over a view: an orange border and a glow whose intensity rises from 0 to 1 in a
// second and falls back, for as long as the layer lives, with the frame image drawn over it.
// The layer is the view's child, follows its size and lets touches through; it starts
// pulsing when made. Main thread only.
#pragma once

#include <QImage>
#include <QWidget>

class QVariantAnimation;

class SNP_FlashLayer : public QWidget {
public:
    explicit SNP_FlashLayer(QWidget* view);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QImage _frame;
    double _intensity = 0.0;
    QVariantAnimation* _animation = nullptr;
};
