// Building the read-back window: its groups and read-only boxes in their
// places, the verdict line and the buttons it allows.
#include "readback/TForm2.h"

#include "store/CardFields.h"
#include "ui/CodeTexts.h"
#include "ui/FormKit.h"
#include "ui/WrappedCheckBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

namespace {

// The boxes only show what the device sent, so no typing limit may cut it;
// a field's own limit, hint and screen reader's name for this window come
// from the field table.
QLineEdit* edit(QWidget* parent, const char* name, QRect g, const QString& text = {}) {
    auto* e = new QLineEdit(text, parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(g);
    e->setReadOnly(true);
    if (const CardField* field = findField(name)) {
        if (field->readBackLimit)
            e->setMaxLength(field->readBackLimit);
        if (field->readBackHint)
            e->setToolTip(QString::fromUtf8(field->readBackHint));
        if (field->readBackAccessibleName)
            e->setAccessibleName(QString::fromUtf8(field->readBackAccessibleName));
    }
    return e;
}

void address(QWidget* parent, std::array<QLineEdit*, 4>& boxes, const char* prefix,
             const QString& caption, int x, int y) {
    for (int i = 0; i < 4; ++i) {
        const QByteArray name = QByteArray(prefix) + QByteArray::number(i + 1);
        auto* e = edit(parent, name.constData(), QRect(x + i * 35, y, 32, FormKit::EditHeight));
        e->setAccessibleName(caption + QStringLiteral(", ") + QString::number(i + 1));
        boxes[static_cast<std::size_t>(i)] = e;
    }
    FormKit::addLabel(parent, caption, QRect(6, y + 3, 110, 16));
}

} // namespace

TForm2::TForm2(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Считанные данные"));
    setFixedSize(ClientWidth, ClientHeight);
    setModal(true);
    // In the middle of the screen, not over the main window.
    FormKit::centreOnScreen(this);
    FormKit::setWindowFont(this);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(4, 2, 769, 38);
    VersionCombo = FormKit::addCombo(GroupBox1, "VersionCombo", QRect(80, 8, 110, 22),
                                     {CodeTexts::versionItem()});
    FormKit::addLabel(GroupBox1, QStringLiteral("ВЕРСИЯ УО"), QRect(8, 11, 70, 16), VersionCombo);
    CodeUoo = edit(GroupBox1, "CodeUoo", QRect(330, 8, 100, FormKit::EditHeight));
    FormKit::addLabel(GroupBox1, QStringLiteral("Код УО в базе ПЦН:"), QRect(210, 11, 118, 16),
                      CodeUoo);
    NCardEdit = edit(GroupBox1, "NCardEdit", QRect(620, 8, 100, FormKit::EditHeight));
    NCardLabel = FormKit::addLabel(GroupBox1, QStringLiteral("Имя карточки в базе ПЦН"),
                                   QRect(460, 11, 158, 16), NCardEdit);
    NCardEdit->hide();
    NCardLabel->hide();

    GroupBox3 = new QGroupBox(QStringLiteral("Режимы работы"), this);
    GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
    GroupBox3->setGeometry(4, 44, 258, 150);
    IndicZU = FormKit::addCheck(GroupBox3, "IndicZU", QStringLiteral("Выключить индикацию СТМ"),
                                QRect(8, 18, 244, 20), false);
    BatteryControl = FormKit::addCheck(
        GroupBox3, "BatteryControl", QStringLiteral("Выключить контроль сигналов внешнего питания"),
        QRect(8, 40, 244, 32), true);
    UseEthPriority =
        FormKit::addCheck(GroupBox3, "UseEthPriority",
                          QStringLiteral("При нормальной работе через 2-ю Sim карту переходить на "
                                         "1-ю Sim крату через            минут"),
                          QRect(8, 74, 244, 48), true);
    // The minutes box lies over the blanks left for it in the caption.
    timeGsmEdit = edit(GroupBox3, "timeGsmEdit", QRect(0, 0, 36, FormKit::EditHeight));
    if (auto* caption = qobject_cast<WrappedCheckBox*>(UseEthPriority)) {
        const QString gap = QStringLiteral("через            минут");
        const QRect blanks =
            caption->captionRect(static_cast<int>(caption->text().indexOf(gap)) + 5, 12)
                .translated(caption->pos());
        QRect box = timeGsmEdit->geometry();
        box.moveCenter(blanks.center());
        timeGsmEdit->setGeometry(box);
    }

    GroupBox2 = new QGroupBox(QStringLiteral("Шлейфы"), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(4, 198, 258, 192);
    for (int i = 0; i < 5; ++i) {
        const QByteArray name = "Cord" + QByteArray::number(i + 1);
        Cord[static_cast<std::size_t>(i)] =
            FormKit::addCombo(GroupBox2, name.constData(), QRect(66, 18 + i * 25, 184, 22),
                              CodeTexts::loopModes(i + 1));
        FormKit::addLabel(GroupBox2, QStringLiteral("Шлейф %1").arg(i + 1),
                          QRect(8, 21 + i * 25, 56, 16), Cord[static_cast<std::size_t>(i)]);
    }
    // The caption takes the group's whole width; its box and "сек" follow
    // on the next line, so that nothing cuts it.
    timePassEdit = edit(GroupBox2, "timePassEdit", QRect(8, 165, 30, FormKit::EditHeight));
    FormKit::addLabel(GroupBox2, QStringLiteral("Время задержки на входной шлейф"),
                      QRect(8, 146, 242, 16), timePassEdit);
    FormKit::addLabel(GroupBox2, QStringLiteral("сек"), QRect(42, 168, 24, 16));
    Cord6 = new QGroupBox(QStringLiteral("Шлейф 6"), GroupBox2);
    Cord6->setObjectName(QStringLiteral("Cord6"));
    Cord6->setGeometry(8, 18, 240, 120);
    for (int i = 0; i < 5; ++i)
        (new QRadioButton(CodeTexts::loopModes(2)[i], Cord6))->setGeometry(8, 18 + i * 20, 220, 18);
    Cord6->hide();

    GroupBox5 = new QGroupBox(QStringLiteral("Настройки GSM"), this);
    GroupBox5->setObjectName(QStringLiteral("GroupBox5"));
    GroupBox5->setGeometry(266, 44, 260, 414);
    auto row = [this](QLineEdit*& e, const char* name, const QString& caption, int y) {
        e = edit(GroupBox5, name, QRect(118, y, 136, FormKit::EditHeight));
        FormKit::addLabel(GroupBox5, caption, QRect(6, y + 3, 110, 16), e);
    };
    int y = 20;
    row(Pin1Edit, "Pin1Edit", QStringLiteral("PIN1"), y);
    UseSim1 = FormKit::addCheck(GroupBox5, "UseSim1", QStringLiteral("ВКЛ"), QRect(200, y, 56, 20),
                                false);
    y += FormKit::RowStep;
    address(GroupBox5, Ip1GsmEdit, "Ip1GsmEdit_", QStringLiteral("IP назначения 1"), 118, y);
    y += FormKit::RowStep;
    row(Port1GsmEdit, "Port1GsmEdit", QStringLiteral("Порт назначения 1"), y);
    y += FormKit::RowStep;
    row(APN1Edit, "APN1Edit", QStringLiteral("Точка доступа 1"), y);
    y += FormKit::RowStep;
    row(LoginGsm1Edit, "LoginGsm1Edit", QStringLiteral("Логин 1"), y);
    y += FormKit::RowStep;
    row(PassGsm1Edit, "PassGsm1Edit", QStringLiteral("Пароль 1"), y);
    y += FormKit::RowStep;
    FormKit::addSeparator(GroupBox5, QRect(6, y + 2, 248, 4));
    y += 10;
    row(Pin2Edit, "Pin2Edit", QStringLiteral("PIN2"), y);
    UseSim2 = FormKit::addCheck(GroupBox5, "UseSim2", QStringLiteral("ВКЛ"), QRect(200, y, 56, 20),
                                false);
    y += FormKit::RowStep;
    address(GroupBox5, Ip2GsmEdit, "Ip2GsmEdit_", QStringLiteral("IP назначения 2"), 118, y);
    y += FormKit::RowStep;
    row(Port2GsmEdit, "Port2GsmEdit", QStringLiteral("Порт назначения 2"), y);
    y += FormKit::RowStep;
    row(APN2Edit, "APN2Edit", QStringLiteral("Точка доступа 2"), y);
    y += FormKit::RowStep;
    row(LoginGsm2Edit, "LoginGsm2Edit", QStringLiteral("Логин 2"), y);
    y += FormKit::RowStep;
    row(PassGsm2Edit, "PassGsm2Edit", QStringLiteral("Пароль 2"), y);
    y += FormKit::RowStep + 10;
    NumPhoneMC = edit(GroupBox5, "NumPhoneMC", QRect(118, y + 4, 136, FormKit::EditHeight));
    FormKit::addLabel(GroupBox5, QStringLiteral("N тел. МС для дозвона тревог через CSD"),
                      QRect(6, y - 4, 110, 46), NumPhoneMC, true);
    UseSim1->setChecked(true);
    UseSim2->setChecked(true);
    UseSim1->hide();
    UseSim2->hide();

    GroupBox7 = new QGroupBox(QStringLiteral("Выходы УОО"), this);
    GroupBox7->setObjectName(QStringLiteral("GroupBox7"));
    GroupBox7->setGeometry(530, 44, 243, 92);
    PageControl2 = new QTabWidget(GroupBox7);
    PageControl2->setObjectName(QStringLiteral("PageControl2"));
    PageControl2->setGeometry(6, 18, 231, 68);
    for (int n = 1; n <= 2; ++n) {
        auto* page = new QWidget;
        page->setObjectName(n == 1 ? QStringLiteral("TabSheet2") : QStringLiteral("TabSheet3"));
        PageControl2->addTab(page, QStringLiteral("Out%1").arg(n));
        const QByteArray name = "RelayComboBox" + QByteArray::number(n);
        QComboBox* c = FormKit::addCombo(page, name.constData(), QRect(62, 6, 162, 22),
                                         CodeTexts::outputProfiles());
        FormKit::addLabel(page, QStringLiteral("Профиль:"), QRect(4, 9, 57, 16), c);
        c->setAccessibleName(QStringLiteral("Профиль Out%1").arg(n));
        (n == 1 ? RelayComboBox1 : RelayComboBox2) = c;
    }

    GroupBox4 = new QGroupBox(QStringLiteral("Баланс"), this);
    GroupBox4->setObjectName(QStringLiteral("GroupBox4"));
    GroupBox4->setGeometry(530, 140, 243, 268);
    // A caption of one or two lines, the box under it.
    auto balance = [this](QLineEdit*& e, const char* name, const QString& caption, int y2,
                          int lines) {
        const int h = lines * 15;
        e = edit(GroupBox4, name, QRect(8, y2 + h + 2, 140, FormKit::EditHeight));
        FormKit::addLabel(GroupBox4, caption, QRect(8, y2, 228, h), e, lines > 1);
    };
    balance(balCritical, "balCritical", QStringLiteral("Критический уровень баланса (руб)"), 18, 1);
    balance(balCodeSim1, "balCodeSim1", QStringLiteral("Код запроса баланса для SIM1"), 62, 1);
    balance(balCodeSim2, "balCodeSim2", QStringLiteral("Код запроса баланса для SIM2"), 106, 1);
    balance(balPhoneSim1, "balPhoneSim1",
            QStringLiteral("Телефонный номер для отправки SMS о балансе на SIM 1"), 150, 2);
    balance(balPhoneSim2, "balPhoneSim2",
            QStringLiteral("Телефонный номер для отправки SMS о балансе на SIM 2"), 208, 2);

    GroupBox6 = new QGroupBox(QStringLiteral("Дополнительная информация"), this);
    GroupBox6->setObjectName(QStringLiteral("GroupBox6"));
    GroupBox6->setGeometry(530, 412, 243, 67);
    ProgID1 =
        edit(GroupBox6, "ProgID1", QRect(178, 22, 58, FormKit::EditHeight), QStringLiteral("0"));
    FormKit::addLabel(GroupBox6, QStringLiteral("Результат программирования (ID)"),
                      QRect(8, 20, 168, 30), ProgID1, true);
    // Laid out below the group's height, as the window always had it: out of sight.
    ProgTime = edit(GroupBox6, "ProgTime", QRect(178, 72, 58, FormKit::EditHeight),
                    QStringLiteral("--:--:--"));
    FormKit::addLabel(GroupBox6, QStringLiteral("Время программирования"), QRect(8, 75, 168, 16),
                      ProgTime);
    RCControl =
        edit(GroupBox6, "RCControl", QRect(178, 96, 58, FormKit::EditHeight), QStringLiteral("1"));
    Label33 = FormKit::addLabel(
        GroupBox6, QStringLiteral("Интервал регистрации на ПЦН по резервному каналу (мин)"),
        QRect(8, 96, 168, 30), RCControl, true);
    Label33->setObjectName(QStringLiteral("Label33"));

    Button1 = new QPushButton(QStringLiteral("Закрыть"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(344, 468, 90, 28);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    // What the database knows of the device: a line under the groups, and
    // the actions it allows left of "Закрыть".
    MatchLabel = new QLabel(this);
    MatchLabel->setObjectName(QStringLiteral("MatchLabel"));
    MatchLabel->setAccessibleName(QStringLiteral("Сверка с базой"));
    MatchLabel->setTextFormat(Qt::PlainText); // card names are typed by people
    MatchLabel->setGeometry(8, 502, 761, 20);
    // Reached with Tab too, so the verdict can be read again at any time.
    MatchLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    MatchLabel->setFocusPolicy(Qt::StrongFocus);
    ActionStrip = new QWidget(this);
    ActionStrip->setObjectName(QStringLiteral("ActionStrip"));
    ActionStrip->setGeometry(4, 466, 336, 32);
    auto* strip = new QHBoxLayout(ActionStrip);
    strip->setContentsMargins(0, 2, 0, 2);
    strip->addStretch();
    ShowCardBtn = new QPushButton(QStringLiteral("Показать в базе"), ActionStrip);
    ShowCardBtn->setObjectName(QStringLiteral("ShowCardBtn"));
    CreateCardBtn = new QPushButton(QStringLiteral("Создать карточку"), ActionStrip);
    CreateCardBtn->setObjectName(QStringLiteral("CreateCardBtn"));
    for (QPushButton* b : {ShowCardBtn, CreateCardBtn}) {
        b->setAutoDefault(false);
        b->setMinimumWidth(b->sizeHint().width() + 16);
        b->hide();
        strip->addWidget(b);
    }
    connect(ShowCardBtn, &QPushButton::clicked, this, [this] {
        request_ = Request::ShowCard;
        accept();
    });
    connect(CreateCardBtn, &QPushButton::clicked, this, [this] {
        request_ = Request::CreateCard;
        accept();
    });

    // Nothing can be edited: every group but the outputs is disabled.
    for (QGroupBox* g : {GroupBox1, GroupBox3, GroupBox2, GroupBox5, GroupBox4, GroupBox6})
        g->setEnabled(false);

    SetUpReadBackWindow();
}
