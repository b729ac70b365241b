// Parked stream data must leave memory: builds a document of 200 pages with a
// 1 MiB image stream each, saves it, and reports the peak resident memory,
// which should grow by about one stream, not by the 200 MiB of all of them.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "iepdf.h"
#include "iestream.h"
#include "ietempfile.h"

namespace {

double PeakMiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::atoi(argv[1]) : 200;
  const int side = 1024;  // 1024 x 1024 gray samples = 1 MiB per stream
  const double streamMiB = side * double(side) / (1 << 20);
  const double baseline = PeakMiB();
  auto start = std::chrono::steady_clock::now();

  std::string out = IESystemTempFolder() + "/velmora-bench-parking-" + std::to_string(::getpid()) + ".pdf";
  double afterAdding = 0;
  {
    TIEPDFBuilder b;
    std::vector<uint8_t> samples(static_cast<size_t>(side) * side);
    for (int p = 0; p < pages; ++p) {
      b.AddPage(side, side);
      for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 31 + p);
      auto image = std::make_unique<TIEPDFStreamObject>();
      image->AppendData(samples.data(), static_cast<int64_t>(samples.size()));
      TIEPDFDictionaryObject& d = *image->Dictionary;
      d.Insert(0, "Type", new TIEPDFNameObject("XObject"));
      d.Insert(1, "Subtype", new TIEPDFNameObject("Image"));
      d.Add("ColorSpace", new TIEPDFNameObject("DeviceGray"));
      d.Add("BitsPerComponent", new TIEPDFIntegerObject(8));
      d.Add("Width", new TIEPDFIntegerObject(side));
      d.Add("Height", new TIEPDFIntegerObject(side));
      TIEPDFStreamObject* placed = image.get();
      int index = b.AddImageObject(std::move(image));
      std::string name = "lm" + std::to_string(index);
      b.XObjectResources().Add(name, new TIEPDFRefObject(placed->ObjectNumber));
      std::string s;
      TIEPDFBuilder::SaveGraphicsState(s);
      TIEPDFBuilder::Scale(s, side, side);
      b.SetFillAlpha(s, 1.0);
      TIEPDFBuilder::PaintXObject(s, name);
      TIEPDFBuilder::RestoreGraphicsState(s);
      b.AppendPageContent(p, s);
    }
    afterAdding = PeakMiB();
    b.SaveToFile(out, "Parking benchmark", "", "", "", "", "", 0);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double peak = PeakMiB();

  TIEFileStream written(out, fmOpenRead);
  double fileMiB = static_cast<double>(written.Size()) / (1 << 20);
  ::unlink(out.c_str());

  std::printf("pages:                 %d, one %.1f MiB stream each (%.0f MiB of stream data)\n", pages,
              streamMiB, pages * streamMiB);
  std::printf("document size:         %.1f MiB\n", fileMiB);
  std::printf("peak RSS at start:     %.1f MiB\n", baseline);
  std::printf("peak RSS after adding: %.1f MiB\n", afterAdding);
  std::printf("peak RSS after saving: %.1f MiB (growth %.1f MiB = %.1f streams)\n", peak, peak - baseline,
              (peak - baseline) / streamMiB);
  std::printf("time:                  %.2f s\n", seconds);
  return 0;
}
