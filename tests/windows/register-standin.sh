#!/bin/sh
# Registers the stand-in encoder server in the Wine prefix of
# $DESKVID_WINEPREFIX under the encoder and profile class ids, as an
# in-process server usable from any apartment.
# register-standin.sh WINE-RUN STANDIN-DLL
set -eu
wine_run=$1
dll=$(printf 'Z:%s' "$2" | tr / '\\')
for clsid in '{632B606A-BBC6-11D2-A329-006097C4E476}' '{A5AC04E7-3E13-48CE-A43F-9FBA59DB1544}'; do
  key="HKCR\\CLSID\\$clsid\\InprocServer32"
  "$wine_run" reg add "$key" /ve /d "$dll" /f >/dev/null
  "$wine_run" reg add "$key" /v ThreadingModel /d Both /f >/dev/null
done
echo "registered $dll"
