// Building the main window: every control in its place, with its caption,
// limits, hint and first state, the keys, the colours and the Tab order.
#include "app/TForm1.h"

#include "app/FixedSizeHeader.h"
#include "app/RecordsModel.h"
#include "store/CardFields.h"
#include "store/Cp1251.h"
#include "ui/CodeTexts.h"
#include "ui/Contrast.h"
#include "ui/FormKit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>

namespace {

// A magnifying glass, drawn rather than shipped as a file.
QPixmap magnifier(QSize size, bool arrow) {
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 70, 130), 2));
    p.setBrush(QColor(200, 225, 255));
    p.drawEllipse(QRectF(3, 3, 11, 11));
    p.setPen(QPen(QColor(90, 60, 30), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13, 13), QPointF(19, 19));
    if (arrow) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 128, 0));
        const QPointF tri[3] = {{16, 2}, {22, 6}, {16, 10}};
        p.drawPolygon(tri, 3);
    }
    return pm;
}

QLineEdit* addEdit(QWidget* parent, const char* name, QRect geometry, int maxLength,
                   const QString& text = {}, const QString& hint = {},
                   FormKit::LengthLimit::Holds holds = nullptr) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(geometry);
    FormKit::setTextLimit(e, maxLength, holds);
    e->setText(text);
    if (!hint.isEmpty())
        e->setToolTip(hint);
    return e;
}

QString tableText(const char* text) {
    return text ? QString::fromUtf8(text) : QString();
}

// The box of a field of the card, with the limit, hint and screen reader's
// name the field table gives it.
QLineEdit* addFieldEdit(QWidget* parent, const char* name, QRect geometry,
                        const QString& text = {}) {
    const CardField& field = *findField(name);
    QLineEdit* e =
        addEdit(parent, name, geometry, field.typingLimit() ? field.typingLimit() : 32767, text,
                tableText(field.hint), &Cp1251::canHold);
    if (field.accessibleName)
        e->setAccessibleName(tableText(field.accessibleName));
    return e;
}

// The four boxes of one dotted address, first octet on the left; screen
// readers hear the address's caption and the box's position. `prefix` names
// the address in the field table, or is one of the Ethernet group's.
void addAddress(QWidget* parent, std::array<QLineEdit*, 4>& boxes, const char* prefix,
                const QString& caption, int x, int y, int width, const QString& initial) {
    const CardField* field = findField(prefix);
    const int limit = field ? field->typingLimit() : 3;
    const QString hint = field ? tableText(field->hint) : caption;
    for (int i = 0; i < 4; ++i) {
        const QByteArray name = QByteArray(prefix) + QByteArray::number(i + 1);
        boxes[static_cast<std::size_t>(i)] = addEdit(
            parent, name.constData(), QRect(x + i * (width + 3), y, width, FormKit::EditHeight),
            limit, initial, hint, field ? &Cp1251::canHold : nullptr);
        boxes[static_cast<std::size_t>(i)]->setAccessibleName(caption + QStringLiteral(", ") +
                                                              QString::number(i + 1));
    }
}

QWidget* addPage(QTabWidget* pages, const char* name, const QString& caption) {
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(name));
    pages->addTab(page, caption);
    return page;
}

} // namespace

void TForm1::buildToolStrip() {
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(4, 5, 24, 23);
    Image1->setPixmap(magnifier(QSize(24, 23), false));

    SearchEdit = addEdit(this, "SearchEdit", QRect(30, 6, 126, FormKit::EditHeight), 32767,
                         QStringLiteral("(Поиск)"));
    SearchEdit->setAccessibleName(QStringLiteral("Поиск"));

    SpeedButton3 = new QToolButton(this);
    SpeedButton3->setObjectName(QStringLiteral("SpeedButton3"));
    SpeedButton3->setGeometry(160, 4, 25, 25);
    SpeedButton3->setAutoRaise(true);
    SpeedButton3->setIcon(QIcon(magnifier(QSize(24, 23), true)));
    SpeedButton3->setIconSize(QSize(24, 23));
    SpeedButton3->setToolTip(QStringLiteral("Искать далее..."));
    SpeedButton3->setAccessibleName(QStringLiteral("Искать далее..."));

    auto button = [this](const char* name, const QString& text, const QString& hint, QRect g) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(g);
        b->setAutoDefault(false);
        if (!hint.isEmpty())
            b->setToolTip(hint);
        return b;
    };
    BitBtn1 = button("BitBtn1", QStringLiteral("Включить редактирование"),
                     QStringLiteral("Включить режим редактирования"), QRect(196, 4, 190, 25));
    BitBtn2 = button("BitBtn2", QStringLiteral("Сохранить изменения"),
                     QStringLiteral("Сохранить изменения в записи"), QRect(392, 4, 170, 25));
    BitBtn3 = button("BitBtn3", QStringLiteral("Удалить запись"),
                     QStringLiteral("Удалить текущую запись"), QRect(568, 4, 140, 25));
    ExitBtn = button("ExitBtn", QStringLiteral("Выход"), {}, QRect(880, 4, 88, 25));
    QFont bold = ExitBtn->font();
    bold.setBold(true);
    ExitBtn->setFont(bold);

    connect(ExitBtn, &QPushButton::clicked, this, &TForm1::ExitBtnClick);

    // Right of "Удалить запись", left of "Выход": the free part of the
    // strip, where no described control stands.
    TeamStatus = new QToolButton(this);
    TeamStatus->setObjectName(QStringLiteral("TeamStatus"));
    TeamStatus->setGeometry(742, 4, 134, 25);
    TeamStatus->setAutoRaise(true);
    TeamStatus->setFocusPolicy(Qt::StrongFocus);
    TeamStatus->setToolButtonStyle(Qt::ToolButtonTextOnly);
    TeamStatus->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(TeamStatus, &QToolButton::clicked, this, &TForm1::TeamStatusClick);
}

void TForm1::buildGrid() {
    SetsGrid = new QTableView(this);
    SetsGrid->setObjectName(QStringLiteral("SetsGrid"));
    SetsGrid->setAccessibleName(QStringLiteral("Список карточек"));
    SetsGrid->setGeometry(2, 32, 970, 84);
    // The headers are set up before the model comes, so that its 9000 rows
    // are laid out once.
    SetsGrid->setVerticalHeader(new FixedSizeHeader(Qt::Vertical, 64, 20, SetsGrid));
    auto* titles = new FixedSizeHeader(Qt::Horizontal, 20, 100, SetsGrid);
    titles->setHighlightSections(false);
    SetsGrid->setHorizontalHeader(titles);
    SetsGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    SetsGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    SetsGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SetsGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SetsGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    SetsGrid->setWordWrap(false);
    SetsGrid->setCornerButtonEnabled(false);
    SetsGrid->setModel(records_);

    const int widths[RecordsModel::ColumnCount] = {59, 101, 435, 144, 131};
    for (int c = 0; c < RecordsModel::ColumnCount; ++c)
        SetsGrid->setColumnWidth(c, widths[c]);
    // The last column takes what the grid has left, so that its title,
    // "Дата программирования", is shown whole.
    titles->setStretchLastSection(true);

    connect(SetsGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { SetsGridClick(); });
    connect(SetsGrid, &QTableView::clicked, this, [this] { SetsGridClick(); });
}

void TForm1::buildSettingsGroup() {
    GroupBox1 = new QGroupBox(QStringLiteral("Текущие настройки"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(2, 120, 970, 458);

    VersionCombo = FormKit::addCombo(GroupBox1, "VersionCombo", QRect(84, 18, 110, 22),
                                     {CodeTexts::versionItem()});
    FormKit::addLabel(GroupBox1, QStringLiteral("ВЕРСИЯ УО"), QRect(8, 21, 74, 16), VersionCombo);
    CodeUoo = addFieldEdit(GroupBox1, "CodeUoo", QRect(256, 18, 86, FormKit::EditHeight),
                           QStringLiteral("1"));
    FormKit::addLabel(GroupBox1, QStringLiteral("Код УО"), QRect(206, 21, 48, 16), CodeUoo);
    Label17 =
        FormKit::addLabel(GroupBox1, QStringLiteral("( 0x00000001 )"), QRect(348, 21, 100, 16));
    Label17->setObjectName(QStringLiteral("Label17"));
    Label17->hide();
    NCardEdit = addFieldEdit(GroupBox1, "NCardEdit", QRect(622, 18, 100, FormKit::EditHeight),
                             QStringLiteral("1"));
    FormKit::addLabel(GroupBox1, QStringLiteral("Имя карточки в базе ПЦН"), QRect(462, 21, 158, 16),
                      NCardEdit);

    // Loops.
    GroupBox2 = new QGroupBox(QStringLiteral("Шлейфы"), GroupBox1);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(382, 46, 306, 204);
    Label44 = FormKit::addLabel(
        GroupBox2, QStringLiteral("Внимание! Допускается только один Управляющий Шлейф."),
        QRect(8, 16, 290, 30), nullptr, true);
    Label44->setObjectName(QStringLiteral("Label44"));
    for (int i = 0; i < 5; ++i) {
        const QByteArray name = "Cord" + QByteArray::number(i + 1);
        Cord[static_cast<std::size_t>(i)] =
            FormKit::addCombo(GroupBox2, name.constData(), QRect(74, 48 + i * 25, 224, 22),
                              i == 0 ? CodeTexts::loopModes(1) : CodeTexts::loopModes(i + 1));
        FormKit::addLabel(GroupBox2, QStringLiteral("Шлейф %1").arg(i + 1),
                          QRect(8, 51 + i * 25, 64, 16), Cord[static_cast<std::size_t>(i)]);
    }
    timePassEdit = addFieldEdit(GroupBox2, "timePassEdit", QRect(226, 176, 36, FormKit::EditHeight),
                                QStringLiteral("60"));
    FormKit::addLabel(GroupBox2, QStringLiteral("Время задержки на входной шлейф"),
                      QRect(8, 179, 216, 16), timePassEdit);
    FormKit::addLabel(GroupBox2, QStringLiteral("сек"), QRect(266, 179, 30, 16));

    Cord6 = new QGroupBox(QStringLiteral("Шлейф 6"), GroupBox2);
    Cord6->setObjectName(QStringLiteral("Cord6"));
    Cord6->setGeometry(8, 48, 290, 124);
    for (int i = 0; i < 5; ++i) {
        auto* choice = new QRadioButton(CodeTexts::loopModes(2)[i], Cord6);
        choice->setGeometry(8, 18 + i * 20, 270, 18);
        choice->setChecked(i == 0);
    }
    Cord6->hide();

    // Operating mode.
    GroupBox4 = new QGroupBox(QStringLiteral("Режим работы"), GroupBox1);
    GroupBox4->setObjectName(QStringLiteral("GroupBox4"));
    GroupBox4->setGeometry(692, 46, 274, 152);
    IndicZU =
        FormKit::addCheck(GroupBox4, "IndicZU", QStringLiteral("Выключить мигание индикатора СТМ"),
                          QRect(8, 18, 262, 20));
    BatteryControl = FormKit::addCheck(
        GroupBox4, "BatteryControl", QStringLiteral("Выключить контроль сигналов внешнего питания"),
        QRect(8, 40, 262, 32), true);
    UseEthPriority = FormKit::addCheck(
        GroupBox4, "UseEthPriority",
        QStringLiteral(
            "При нормальной работе через 2-ю Sim карту переходить на 1-ю Sim карту через (минут)"),
        QRect(8, 74, 262, 46), true);
    timeGsmEdit = addFieldEdit(GroupBox4, "timeGsmEdit", QRect(28, 122, 44, FormKit::EditHeight),
                               QStringLiteral("60"));
    timeGsmEdit->setEnabled(false);
    UseGsmPriority =
        FormKit::addCheck(GroupBox4, "UseGsmPriority", QStringLiteral("Приоритет 1-й Sim карты"),
                          QRect(120, 122, 150, 20));
    UseGsmPriority->hide();

    // Additional information.
    GroupBox6 = new QGroupBox(QStringLiteral("Дополнительная информация"), GroupBox1);
    GroupBox6->setObjectName(QStringLiteral("GroupBox6"));
    GroupBox6->setGeometry(382, 254, 306, 200);
    Edit1 = addFieldEdit(GroupBox6, "Edit1", QRect(84, 20, 214, FormKit::EditHeight));
    FormKit::addLabel(GroupBox6, QStringLiteral("Объект"), QRect(8, 23, 74, 16), Edit1);
    FIOEdit = addFieldEdit(GroupBox6, "FIOEdit", QRect(84, 46, 214, FormKit::EditHeight));
    FormKit::addLabel(GroupBox6, QStringLiteral("Адрес"), QRect(8, 49, 74, 16), FIOEdit);
    RemarkEdit = addFieldEdit(GroupBox6, "RemarkEdit", QRect(84, 72, 214, FormKit::EditHeight));
    FormKit::addLabel(GroupBox6, QStringLiteral("Примечание"), QRect(8, 75, 74, 16), RemarkEdit);
    ProgID1 = addEdit(GroupBox6, "ProgID1", QRect(236, 110, 62, FormKit::EditHeight), 32767,
                      QStringLiteral("0"));
    ProgID1->setReadOnly(true);
    FormKit::addLabel(GroupBox6, QStringLiteral("Результат программирования (ID)"),
                      QRect(8, 106, 224, 30), ProgID1, true);
    ProgID2 = addEdit(GroupBox6, "ProgID2", QRect(236, 148, 62, FormKit::EditHeight), 32767,
                      QStringLiteral("0"));
    ProgID2->setReadOnly(true);
    FormKit::addLabel(GroupBox6, QStringLiteral("Предыдущий результат программирования (ID)"),
                      QRect(8, 144, 224, 30), ProgID2, true);
}

void TForm1::buildEthernetGroup() {
    GroupBox3 = new QGroupBox(QStringLiteral("Настройки Ethernet"), GroupBox1);
    GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
    GroupBox3->setGeometry(382, 46, 306, 300);
    struct AddressRow {
        std::array<QLineEdit*, 4>* boxes;
        const char* prefix;
        QString caption;
    };
    const AddressRow rows[] = {
        {&GateIP1, "GateIP1_", QStringLiteral("Шлюз 1")},
        {&GateIP2, "GateIP2_", QStringLiteral("Шлюз 2")},
        {&Mask, "Mask", QStringLiteral("Маска подсети")},
        {&IPLoc, "IPLoc", QStringLiteral("Локальный IP адрес")},
        {&IPRem1, "IPRem1_", QStringLiteral("IP адрес сервера 1")},
        {&IPRem2, "IPRem2_", QStringLiteral("IP адрес сервера 2")},
    };
    int y = 18;
    for (const AddressRow& row : rows) {
        addAddress(GroupBox3, *row.boxes, row.prefix, row.caption, 130, y, 36, QStringLiteral("0"));
        FormKit::addLabel(GroupBox3, row.caption, QRect(8, y + 3, 120, 16));
        y += FormKit::RowStep;
    }
    PortLoc = addEdit(GroupBox3, "PortLoc", QRect(130, y, 60, FormKit::EditHeight), 5,
                      QStringLiteral("5000"));
    FormKit::addLabel(GroupBox3, QStringLiteral("Локальный порт"), QRect(8, y + 3, 120, 16),
                      PortLoc);
    y += FormKit::RowStep;
    PortRem1 = addEdit(GroupBox3, "PortRem1", QRect(130, y, 60, FormKit::EditHeight), 5,
                       QStringLiteral("5000"));
    FormKit::addLabel(GroupBox3, QStringLiteral("Порт сервера 1"), QRect(8, y + 3, 120, 16),
                      PortRem1);
    y += FormKit::RowStep;
    PortRem2 = addEdit(GroupBox3, "PortRem2", QRect(130, y, 60, FormKit::EditHeight), 5,
                       QStringLiteral("5000"));
    FormKit::addLabel(GroupBox3, QStringLiteral("Порт сервера 2"), QRect(8, y + 3, 120, 16),
                      PortRem2);
    y += FormKit::RowStep;
    for (int i = 0; i < 6; ++i) {
        const QByteArray name = "Mac" + QByteArray::number(i + 1);
        Mac[static_cast<std::size_t>(i)] =
            addEdit(GroupBox3, name.constData(), QRect(130 + i * 26, y, 24, FormKit::EditHeight), 2,
                    QStringLiteral("00"));
        Mac[static_cast<std::size_t>(i)]->setAccessibleName(
            QStringLiteral("MAC адрес, %1").arg(i + 1));
    }
    Mac[0]->setReadOnly(true);
    FormKit::addLabel(GroupBox3, QStringLiteral("MAC адрес"), QRect(8, y + 3, 120, 16));
    y += FormKit::RowStep;
    SpeedButton2 = new QPushButton(QStringLiteral("Новый MAC адрес"), GroupBox3);
    SpeedButton2->setObjectName(QStringLiteral("SpeedButton2"));
    SpeedButton2->setGeometry(130, y, 150, 22);
    y += FormKit::RowStep + 2;
    PPPLoginEdit = addEdit(GroupBox3, "PPPLoginEdit", QRect(130, y, 150, FormKit::EditHeight), 31);
    FormKit::addLabel(GroupBox3, QStringLiteral("Логин PPPoE"), QRect(8, y + 3, 120, 16),
                      PPPLoginEdit);
    y += FormKit::RowStep;
    PPPPassEdit = addEdit(GroupBox3, "PPPPassEdit", QRect(130, y, 150, FormKit::EditHeight), 31);
    FormKit::addLabel(GroupBox3, QStringLiteral("Пароль PPPoE"), QRect(8, y + 3, 120, 16),
                      PPPPassEdit);
    GroupBox3->hide();
}

void TForm1::buildGsmGroup() {
    // Laid over the settings group but not inside it, so that its pages are
    // enabled one by one.
    GroupBox5 = new QGroupBox(QStringLiteral("Настройки GSM"), this);
    GroupBox5->setObjectName(QStringLiteral("GroupBox5"));
    GroupBox5->setGeometry(6, 166, 372, 410);
    PageControl1 = new QTabWidget(GroupBox5);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(6, 18, 360, 386);
    PageControl1->setDocumentMode(true);

    const int lx = 4, lw = 200, ex = 208, ew = 140;
    auto row = [&](QWidget* page, QLineEdit*& edit, const char* name, const QString& caption,
                   int y) {
        edit = addFieldEdit(page, name, QRect(ex, y, ew, FormKit::EditHeight));
        FormKit::addLabel(page, caption, QRect(lx, y + 3, lw, 16), edit);
    };

    MainGSM_Sheet = addPage(PageControl1, "MainGSM_Sheet", QStringLiteral("Основные"));
    int y = 6;
    row(MainGSM_Sheet, Pin1Edit, "Pin1Edit", QStringLiteral("PIN1"), y);
    Pin1Edit->setFixedWidth(60);
    UseSim1 =
        FormKit::addCheck(MainGSM_Sheet, "UseSim1", QStringLiteral("ВКЛ"), QRect(290, y, 56, 20));
    UseSim1->setToolTip(QStringLiteral("Использовать 1ю SIM карту"));
    y += FormKit::RowStep;
    addAddress(MainGSM_Sheet, Ip1GsmEdit, "Ip1GsmEdit_", QStringLiteral("IP Адрес МС (WAN1)"), ex,
               y, 32, QStringLiteral("1"));
    FormKit::addLabel(MainGSM_Sheet, QStringLiteral("IP Адрес МС (WAN1)"),
                      QRect(lx, y + 3, lw, 16));
    y += FormKit::RowStep;
    row(MainGSM_Sheet, Port1GsmEdit, "Port1GsmEdit", QStringLiteral("Порт МС (WAN1)"), y);
    y += FormKit::RowStep;
    row(MainGSM_Sheet, APN1Edit, "APN1Edit", QStringLiteral("Точка доступа 1"), y);
    y += FormKit::RowStep;
    row(MainGSM_Sheet, LoginGsm1Edit, "LoginGsm1Edit", QStringLiteral("Логин 1"), y);
    y += FormKit::RowStep;
    row(MainGSM_Sheet, PassGsm1Edit, "PassGsm1Edit", QStringLiteral("Пароль 1"), y);
    y += FormKit::RowStep;
    FormKit::addSeparator(MainGSM_Sheet, QRect(4, y + 2, 344, 4));
    y += 10;
    row(MainGSM_Sheet, Pin2Edit, "Pin2Edit", QStringLiteral("PIN2"), y);
    Pin2Edit->setFixedWidth(60);
    UseSim2 =
        FormKit::addCheck(MainGSM_Sheet, "UseSim2", QStringLiteral("ВКЛ"), QRect(290, y, 56, 20));
    UseSim2->setToolTip(QStringLiteral("Использовать 2ю SIM карту"));
    y += FormKit::RowStep;
    addAddress(MainGSM_Sheet, Ip2GsmEdit, "Ip2GsmEdit_", QStringLiteral("IP Адрес МС (WAN2)"), ex,
               y, 32, QStringLiteral("1"));
    FormKit::addLabel(MainGSM_Sheet, QStringLiteral("IP Адрес МС (WAN2)"),
                      QRect(lx, y + 3, lw, 16));
    y += FormKit::RowStep;
    row(MainGSM_Sheet, Port2GsmEdit, "Port2GsmEdit", QStringLiteral("Порт МС (WAN2)"), y);
    y += FormKit::RowStep;
    row(MainGSM_Sheet, APN2Edit, "APN2Edit", QStringLiteral("Точка доступа 2"), y);
    y += FormKit::RowStep;
    row(MainGSM_Sheet, LoginGsm2Edit, "LoginGsm2Edit", QStringLiteral("Логин 2"), y);
    y += FormKit::RowStep;
    row(MainGSM_Sheet, PassGsm2Edit, "PassGsm2Edit", QStringLiteral("Пароль 2"), y);
    y += FormKit::RowStep;
    FormKit::addSeparator(MainGSM_Sheet, QRect(4, y + 2, 344, 4));
    y += 10;
    NumPhoneMC =
        addFieldEdit(MainGSM_Sheet, "NumPhoneMC", QRect(ex, y + 4, ew, FormKit::EditHeight));
    FormKit::addLabel(MainGSM_Sheet, QStringLiteral("N тел. МС для дозвона тревог через CSD"),
                      QRect(lx, y, lw, 30), NumPhoneMC, true);
    UseSim1->setChecked(true);
    UseSim2->setChecked(true);
    UseSim1->hide();
    UseSim2->hide();

    BalanceSheet = addPage(PageControl1, "BalanceSheet", QStringLiteral("Баланс"));
    balEnable = FormKit::addCheck(BalanceSheet, "balEnable",
                                  QStringLiteral("Включить проверку баланса SIM карт"),
                                  QRect(4, 6, 344, 20));
    y = 36;
    balCritical = addFieldEdit(BalanceSheet, "balCritical", QRect(ex, y, 50, FormKit::EditHeight),
                               QStringLiteral("10"));
    FormKit::addLabel(BalanceSheet, QStringLiteral("Критический уровень баланса (руб)"),
                      QRect(lx, y - 4, lw, 30), balCritical, true);
    y += 28;
    row(BalanceSheet, balCodeSim1, "balCodeSim1", QStringLiteral("Код запроса баланса для SIM1"),
        y);
    y += 28;
    row(BalanceSheet, balCodeSim2, "balCodeSim2", QStringLiteral("Код запроса баланса для SIM2"),
        y);
    y += 28;
    balPhoneSim1 =
        addFieldEdit(BalanceSheet, "balPhoneSim1", QRect(ex, y + 4, ew, FormKit::EditHeight));
    FormKit::addLabel(BalanceSheet, QStringLiteral("Телефонный номер 1 для отправки SMS о балансе"),
                      QRect(lx, y, lw, 30), balPhoneSim1, true);
    y += 36;
    balPhoneSim2 =
        addFieldEdit(BalanceSheet, "balPhoneSim2", QRect(ex, y + 4, ew, FormKit::EditHeight));
    FormKit::addLabel(BalanceSheet, QStringLiteral("Телефонный номер 2 для отправки SMS о балансе"),
                      QRect(lx, y, lw, 30), balPhoneSim2, true);

    Add_GSM_Sheet = addPage(PageControl1, "Add_GSM_Sheet", QStringLiteral("Дополнительно"));
    y = 6;
    RCControl = addEdit(Add_GSM_Sheet, "RCControl", QRect(ex, y + 4, 50, FormKit::EditHeight), 3,
                        QStringLiteral("1"));
    Label33 = FormKit::addLabel(
        Add_GSM_Sheet, QStringLiteral("Интервал регистрации на МЦ410 по резервному каналу (мин)"),
        QRect(lx, y, lw, 30), RCControl, true);
    Label33->setObjectName(QStringLiteral("Label33"));
    y = 6;
    row(Add_GSM_Sheet, PUK1_Edit, "PUK1_Edit", QStringLiteral("PUK-код SIM карты 1"), y);
    y += FormKit::RowStep;
    row(Add_GSM_Sheet, Number1_Edit, "Number1_Edit", QStringLiteral("Номер телефона SIM карты 1"),
        y);
    y += FormKit::RowStep;
    row(Add_GSM_Sheet, SIM_ID1_Edit, "SIM_ID1_Edit", QStringLiteral("ID SIM карты 1"), y);
    y += FormKit::RowStep;
    FormKit::addSeparator(Add_GSM_Sheet, QRect(4, y + 2, 344, 4));
    y += 10;
    row(Add_GSM_Sheet, PUK2_Edit, "PUK2_Edit", QStringLiteral("PUK-код SIM карты 2"), y);
    y += FormKit::RowStep;
    row(Add_GSM_Sheet, Number2_Edit, "Number2_Edit", QStringLiteral("Номер телефона SIM карты 2"),
        y);
    y += FormKit::RowStep;
    row(Add_GSM_Sheet, SIM_ID2_Edit, "SIM_ID2_Edit", QStringLiteral("ID SIM карты 2"), y);
}

void TForm1::buildOutputsGroup() {
    GroupBox7 = new QGroupBox(QStringLiteral("Выходы УОО"), this);
    GroupBox7->setObjectName(QStringLiteral("GroupBox7"));
    GroupBox7->setGeometry(694, 322, 274, 190);
    PageControl2 = new QTabWidget(GroupBox7);
    PageControl2->setObjectName(QStringLiteral("PageControl2"));
    PageControl2->setGeometry(6, 18, 262, 64);
    TabSheet2 = addPage(PageControl2, "TabSheet2", QStringLiteral("Out1"));
    TabSheet3 = addPage(PageControl2, "TabSheet3", QStringLiteral("Out2"));
    RelayComboBox1 = FormKit::addCombo(TabSheet2, "RelayComboBox1", QRect(64, 6, 186, 22),
                                       CodeTexts::outputProfiles());
    FormKit::addLabel(TabSheet2, QStringLiteral("Профиль:"), QRect(6, 9, 56, 16), RelayComboBox1);
    RelayComboBox1->setAccessibleName(QStringLiteral("Профиль Out1"));
    RelayComboBox2 = FormKit::addCombo(TabSheet3, "RelayComboBox2", QRect(64, 6, 186, 22),
                                       CodeTexts::outputProfiles());
    FormKit::addLabel(TabSheet3, QStringLiteral("Профиль:"), QRect(6, 9, 56, 16), RelayComboBox2);
    RelayComboBox2->setAccessibleName(QStringLiteral("Профиль Out2"));
    Label40 = FormKit::addLabel(GroupBox7, QStringLiteral("Выход выключен"), QRect(8, 86, 258, 100),
                                nullptr, true);
    Label40->setObjectName(QStringLiteral("Label40"));
    Label40->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont small = Label40->font();
    small.setPointSize(7);
    Label40->setFont(small);
}

void TForm1::buildDevicePanel() {
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setGeometry(694, 516, 274, 60);
    ProgBtn = new QPushButton(QStringLiteral("Программировать"), Panel1);
    ProgBtn->setObjectName(QStringLiteral("ProgBtn"));
    ProgBtn->setGeometry(6, 6, 128, 26);
    ProgBtn->setAutoDefault(false);
    SpeedButton1 = new QPushButton(QStringLiteral("Считать"), Panel1);
    SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
    SpeedButton1->setGeometry(140, 6, 128, 26);
    SpeedButton1->setAutoDefault(false);
    Progress = new QProgressBar(Panel1);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setGeometry(6, 38, 262, 16);
    Progress->setRange(0, 10);
    Progress->setValue(0);
    Progress->setTextVisible(false);
    Progress->setAccessibleName(QStringLiteral("Ход обмена с УОО"));
    Progress->hide();
}

void TForm1::applyColours() {
    Contrast::setColour(SearchEdit, QPalette::Text, QColor(0, 128, 0), QPalette::Base);
    Contrast::setColour(ExitBtn, QPalette::ButtonText, QColor(128, 0, 0), QPalette::Button);
    Contrast::setColour(Label44, QPalette::WindowText, QColor(160, 0, 0), QPalette::Window);
}

void TForm1::changeEvent(QEvent* event) {
    // The desktop switched between light and dark: the window's palette,
    // which is the desktop's, changed.
    if (event->type() == QEvent::PaletteChange)
        applyColours();
    QWidget::changeEvent(event);
}

void TForm1::connectKeys() {
    const auto key = [this](const QKeySequence& sequence, auto action) {
        connect(new QShortcut(sequence, this), &QShortcut::activated, this, action);
    };
    key(QKeySequence(Qt::CTRL | Qt::Key_F), [this] {
        if (!SearchEdit->isEnabled())
            return;
        SearchEdit->setFocus(Qt::ShortcutFocusReason);
        SearchEdit->selectAll();
    });
    key(QKeySequence(Qt::Key_F3), [this] {
        if (SearchEdit->isEnabled())
            FindNext();
    });
    key(QKeySequence(Qt::CTRL | Qt::Key_S), [this] {
        if (BitBtn2->isEnabled())
            BitBtn2->click();
    });
    key(QKeySequence(Qt::Key_Escape), [this] {
        if (EditMode && BitBtn1->isEnabled())
            BitBtn1->click();
    });
}

void TForm1::orderTabs() {
    // As the eye reads the window: the tool strip, the grid, the top line,
    // then the editor column by column, each top to bottom.
    FormKit::orderTabs({SearchEdit, SpeedButton3, BitBtn1, BitBtn2, BitBtn3, ExitBtn, SetsGrid,
                        VersionCombo, CodeUoo, NCardEdit, GroupBox5, GroupBox3, GroupBox2,
                        GroupBox6, GroupBox4, GroupBox7, Panel1});
}
