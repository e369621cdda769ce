#pragma once

// Command-line arguments in the GDAL utilities' style: positional operands and --options, some taking a
// value ("--tile 512,512" or "--tile=512,512"), some flags. Unknown options are usage errors.

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <set>

namespace Tarnivale::Cli {

class Arguments {
public:
    /// Parses the arguments after the command words. `valued` options take a value, `flags` do not;
    /// "--help" and "--json" are always known flags.
    Arguments(const QStringList& arguments, const std::set<QString>& valued, const std::set<QString>& flags);

    bool flag(const QString& name) const { return m_flags.contains(name); }
    bool has(const QString& name) const { return m_values.contains(name); }
    QString value(const QString& name) const { return m_values.value(name); }
    /// Every value of an option that may be repeated ("--point 1,2 --point 3,4"), in order.
    QStringList values(const QString& name) const { return m_repeated.value(name); }
    /// The option's value, or a usage error naming it.
    QString required(const QString& name) const;
    const QStringList& operands() const { return m_operands; }
    /// Exactly `count` operands, else a usage error.
    void expectOperands(qsizetype count) const;

    /// A positive integer option value ("--threads 4"); `minimum` and `maximum` bound it.
    int integer(const QString& name, int minimum, int maximum) const;
    /// A positive 64-bit byte count ("--max-memory 8000000000").
    qint64 byteCount(const QString& name) const;
    /// Comma-separated integers ("--bands 1,2,3").
    QList<int> integers(const QString& name) const;

private:
    QMap<QString, QString> m_values;  // the last value of each option
    QMap<QString, QStringList> m_repeated;
    QStringList m_flags;
    QStringList m_operands;
};

/// `count` comma-separated numbers given to --option ("--point 10.5,20"), else a usage error naming it.
QList<double> parseNumbers(const QString& option, const QString& text, qsizetype count);

}  // namespace Tarnivale::Cli
