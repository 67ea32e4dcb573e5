#include "DicomTestSeries.h"

#include <QDir>
#include <QtEndian>
#include <gdcmAnonymizer.h>
#include <gdcmAttribute.h>
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageWriter.h>
#include <gdcmReader.h>
#include <gdcmTrace.h>
#include <gdcmWriter.h>
#include <stdexcept>

std::array<double, 3> DicomTestSeries::positionOf(int z) const {
    const double along = positions.empty() ? z * spacingZ : positions[static_cast<std::size_t>(z)];
    const double normal[3] = {orientation[1] * orientation[5] - orientation[2] * orientation[4],
                              orientation[2] * orientation[3] - orientation[0] * orientation[5],
                              orientation[0] * orientation[4] - orientation[1] * orientation[3]};
    std::array<double, 3> position{};
    for (std::size_t axis = 0; axis < 3; ++axis)
        position[axis] = origin[axis] + along * (normal[axis] + shear * orientation[3 + axis]);
    return position;
}

// GDCM's writer places frame k at the origin plus k slice spacings along the normal; each
// frame's Plane Position is rewritten to the series' own position of that slice.
void DicomTestSeries::placeFrames(const QString& path) const {
    gdcm::Reader reader;
    reader.SetFileName(path.toStdString().c_str());
    if (!reader.Read())
        throw std::runtime_error("GDCM cannot read back its multi-frame file");
    const gdcm::SmartPointer<gdcm::SequenceOfItems> frames =
        reader.GetFile().GetDataSet().GetDataElement(gdcm::Tag(0x5200, 0x9230)).GetValueAsSQ();
    for (int z = 0; z < depth; ++z) {
        gdcm::DataSet& group = frames->GetItem(static_cast<std::size_t>(z) + 1).GetNestedDataSet();
        gdcm::Attribute<0x0020, 0x0032> position;
        position.SetValues(positionOf(z).data());
        group.GetDataElement(gdcm::Tag(0x0020, 0x9113))
            .GetValueAsSQ()
            ->GetItem(1)
            .GetNestedDataSet()
            .Replace(position.GetAsDataElement());
    }
    gdcm::Writer writer;
    writer.SetFile(reader.GetFile());
    writer.SetFileName(path.toStdString().c_str());
    if (!writer.Write())
        throw std::runtime_error("GDCM could not write the frames' positions");
}

QStringList DicomTestSeries::write(const QString& folder) const {
    constexpr auto kCtImageStorage = "1.2.840.10008.5.1.4.1.1.2";
    constexpr auto kFrameOfReference = "1.2.826.0.1.3680043.9.7433.2.1";
    gdcm::Trace::WarningOff(); // the writer's remarks on what it fills in itself
    QStringList paths;
    const int frames = multiFrame ? depth : 1;
    for (int z = 0; z < depth; z += frames) {
        // GDCM's writer holds its image by reference count: it must live on the heap.
        gdcm::SmartPointer<gdcm::Image> owned = new gdcm::Image;
        gdcm::Image& image = *owned;
        image.SetNumberOfDimensions(multiFrame ? 3 : 2);
        image.SetDimension(0, static_cast<unsigned>(width));
        image.SetDimension(1, static_cast<unsigned>(height));
        if (multiFrame) {
            image.SetDimension(2, static_cast<unsigned>(frames));
            image.SetSpacing(2, spacingZ);
        }
        image.SetPixelFormat(
            gdcm::PixelFormat(signedSamples ? gdcm::PixelFormat::INT16 : gdcm::PixelFormat::UINT16));
        image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::MONOCHROME2);
        image.SetSpacing(0, spacingX);
        image.SetSpacing(1, spacingY);
        image.SetDirectionCosines(orientation.data());
        const std::array<double, 3> position = positionOf(z);
        for (unsigned axis = 0; axis < 3; ++axis)
            image.SetOrigin(axis, position[axis]);
        image.SetSlope(slope);
        image.SetIntercept(intercept);
        std::vector<std::int16_t> samples;
        for (int frame = z; frame < z + frames; ++frame)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    samples.push_back(static_cast<std::int16_t>(stored(x, y, frame)));
        gdcm::DataElement pixels(gdcm::Tag(0x7fe0, 0x0010));
        pixels.SetByteValue(reinterpret_cast<const char*>(samples.data()),
                            static_cast<std::uint32_t>(samples.size() * sizeof(std::int16_t)));
        image.SetDataElement(pixels);
        image.SetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);

        gdcm::ImageChangeTransferSyntax change;
        change.SetTransferSyntax(syntax);
        change.SetInput(image);
        if (!change.Change())
            throw std::runtime_error("GDCM cannot encode this transfer syntax");
        gdcm::ImageWriter writer;
        writer.SetImage(change.GetOutput());
        const int number = fileNumbers.empty() ? z + 1 : fileNumbers[static_cast<std::size_t>(z)];
        gdcm::Anonymizer tags;
        tags.SetFile(writer.GetFile());
        tags.Replace(gdcm::Tag(0x0008, 0x0016), kCtImageStorage);
        tags.Replace(gdcm::Tag(0x0008, 0x0060), "CT");
        tags.Replace(gdcm::Tag(0x0020, 0x000e), uid.toLatin1().constData());
        tags.Replace(gdcm::Tag(0x0020, 0x0052), kFrameOfReference);
        tags.Replace(gdcm::Tag(0x0008, 0x103e), description.toLatin1().constData());
        tags.Replace(gdcm::Tag(0x0020, 0x0013), QByteArray::number(number).constData());
        tags.Replace(gdcm::Tag(0x0028, 0x1050), "40\\400");
        tags.Replace(gdcm::Tag(0x0028, 0x1051), "350\\1500");
        const QString path =
            QDir(folder).filePath(QStringLiteral("IM%1.dcm").arg(number, 4, 10, QLatin1Char('0')));
        writer.SetFileName(path.toStdString().c_str());
        if (!writer.Write())
            throw std::runtime_error("GDCM could not write a test slice");
        if (multiFrame)
            placeFrames(path);
        paths << path;
    }
    return paths;
}

qsizetype dicomElementAt(const QByteArray& file, quint16 group, quint16 element, const char* vr) {
    QByteArray tag(4, '\0');
    qToLittleEndian(group, tag.data());
    qToLittleEndian(element, tag.data() + 2);
    return file.indexOf(tag + vr);
}
