#!/usr/bin/env bash
# Renders docs/sample_before_after.png: the bundled sample DEM with its voids, and the same DEM
# after gapMend filled it (radius 250), both as hillshade, side by side.
# Needs a built gapMend (scripts/bootstrap.sh), gdaldem (gdal-bin) and python3-matplotlib.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp data/luxembourg_dem_voids.tif "$work/before.tif"
cp data/luxembourg_dem_voids.tif "$work/after.tif"
(cd "$work" && "$OLDPWD/build/gapMend" after.tif 250 >/dev/null)
for state in before after; do
    gdaldem hillshade -q -compute_edges -z 6 -s 111120 "$work/$state.tif" "$work/$state-shade.tif"
done
/usr/bin/python3 - "$work" docs/sample_before_after.png <<'PY'
import sys
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
from osgeo import gdal

work, out = sys.argv[1], sys.argv[2]
figure, panels = plt.subplots(1, 2, figsize=(10, 5.2))
titles = {"before": "Sample DEM: voids and border (no data) in red",
          "after": "After gapMend luxembourg_dem_voids.tif 250"}
for panel, state in zip(panels, ("before", "after")):
    dem = gdal.Open(f"{work}/{state}.tif")
    gaps = dem.GetRasterBand(1).GetMaskBand().ReadAsArray() == 0
    shade = gdal.Open(f"{work}/{state}-shade.tif").ReadAsArray().astype(float) / 255
    rgb = np.dstack([shade] * 3)
    rgb[gaps] = (0.85, 0.15, 0.1)
    panel.imshow(rgb, interpolation="nearest")
    panel.set_title(titles[state], fontsize=10)
    panel.axis("off")
figure.tight_layout()
figure.savefig(out, dpi=100)
PY
echo "Wrote docs/sample_before_after.png"
