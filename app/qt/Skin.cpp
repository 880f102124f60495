#include "app/qt/Skin.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

int SkinH_Attach() {
    static bool attached = false;
    if (attached || !qApp) return 0;
    attached = true;

    if (QStyle* fusion = QStyleFactory::create("Fusion")) QApplication::setStyle(fusion);

    QPalette pal;
    const QColor face(0xF0, 0xF0, 0xF0);
    const QColor text(0x1F, 0x1F, 0x1F);
    const QColor accent(0x33, 0x78, 0xC6);
    pal.setColor(QPalette::Window, face);
    pal.setColor(QPalette::Button, face);
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::AlternateBase, QColor(0xF6, 0xF8, 0xFA));
    pal.setColor(QPalette::WindowText, text);
    pal.setColor(QPalette::ButtonText, text);
    pal.setColor(QPalette::Text, text);
    pal.setColor(QPalette::Highlight, accent);
    pal.setColor(QPalette::HighlightedText, Qt::white);
    pal.setColor(QPalette::Light, Qt::white);
    pal.setColor(QPalette::Midlight, QColor(0xE3, 0xE3, 0xE3));
    pal.setColor(QPalette::Mid, QColor(0xA0, 0xA0, 0xA0));
    pal.setColor(QPalette::Dark, QColor(0x80, 0x80, 0x80));
    pal.setColor(QPalette::Shadow, QColor(0x40, 0x40, 0x40));
    pal.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xE1));
    pal.setColor(QPalette::ToolTipText, text);
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x9A, 0x9A, 0x9A));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x9A, 0x9A, 0x9A));
    pal.setColor(QPalette::Disabled, QPalette::Text, QColor(0x9A, 0x9A, 0x9A));
    QApplication::setPalette(pal);

    qApp->setStyleSheet(
        "QGroupBox { border: 1px solid #C4C4C4; border-radius: 3px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; }"
        "QProgressBar { border: 1px solid #A0A0A0; background: #E6E6E6; }"
        "QProgressBar::chunk { background: #3AA655; }"
        "QHeaderView::section { background: #F3F3F3; border: none;"
        "  border-right: 1px solid #D5D5D5; border-bottom: 1px solid #D5D5D5; padding: 0 4px; }");
    return 0;
}
