#include "cli_arguments.h"

#include "cli_errors.h"

namespace Tarnivale::Cli {

namespace {
[[noreturn]] void usage(const QString& message) {
    throw UsageError(message.toStdString());
}
}  // namespace

Arguments::Arguments(const QStringList& arguments, const std::set<QString>& valued,
                     const std::set<QString>& flags) {
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!argument.startsWith(QLatin1String("--")) || argument == QLatin1String("--")) {
            m_operands.append(argument);
            continue;
        }
        QString name = argument.mid(2);
        QString value;
        bool inlineValue = false;
        if (const qsizetype equals = name.indexOf(QLatin1Char('=')); equals >= 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
            inlineValue = true;
        }
        if (name == QLatin1String("help") || name == QLatin1String("json") || flags.count(name) > 0) {
            if (inlineValue) {
                usage(QStringLiteral("option --%1 takes no value").arg(name));
            }
            m_flags.append(name);
        } else if (valued.count(name) > 0) {
            if (!inlineValue) {
                if (i + 1 >= arguments.size()) {
                    usage(QStringLiteral("option --%1 needs a value").arg(name));
                }
                value = arguments[++i];
            }
            m_values.insert(name, value);
            m_repeated[name].append(value);
        } else {
            usage(QStringLiteral("unknown option --%1").arg(name));
        }
    }
}

QString Arguments::required(const QString& name) const {
    if (!has(name) || value(name).isEmpty()) {
        usage(QStringLiteral("missing required option --%1").arg(name));
    }
    return value(name);
}

void Arguments::expectOperands(qsizetype count) const {
    if (m_operands.size() != count) {
        usage(count == 0
                  ? QStringLiteral("unexpected argument '%1'").arg(m_operands.value(0))
                  : QStringLiteral("expected %1 argument(s), got %2").arg(count).arg(m_operands.size()));
    }
}

int Arguments::integer(const QString& name, int minimum, int maximum) const {
    bool ok = false;
    const int number = value(name).toInt(&ok);
    if (!ok || number < minimum || number > maximum) {
        usage(QStringLiteral("--%1 must be an integer in %2..%3").arg(name).arg(minimum).arg(maximum));
    }
    return number;
}

qint64 Arguments::byteCount(const QString& name) const {
    bool ok = false;
    const qint64 number = value(name).toLongLong(&ok);
    if (!ok || number < 1) {
        usage(QStringLiteral("--%1 must be a positive number of bytes").arg(name));
    }
    return number;
}

QList<int> Arguments::integers(const QString& name) const {
    QList<int> numbers;
    for (const QString& part : value(name).split(QLatin1Char(','))) {
        bool ok = false;
        const int number = part.trimmed().toInt(&ok);
        if (!ok) {
            usage(QStringLiteral("--%1 must be a comma-separated list of integers").arg(name));
        }
        numbers.append(number);
    }
    return numbers;
}

QList<double> parseNumbers(const QString& option, const QString& text, qsizetype count) {
    QList<double> values;
    for (const QString& part : text.split(u',')) {
        bool ok = false;
        values.append(part.trimmed().toDouble(&ok));
        if (!ok) {
            throw UsageError("--" + option.toStdString() + " takes comma-separated numbers");
        }
    }
    if (values.size() != count) {
        throw UsageError("--" + option.toStdString() + " takes " + std::to_string(count) + " numbers");
    }
    return values;
}

}  // namespace Tarnivale::Cli
