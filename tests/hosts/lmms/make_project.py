#!/usr/bin/env python3
"""Writes the LMMS project of the real-host check: one TripleOscillator track
playing a 440 Hz sine (one oscillator, no envelope) for two bars at 120 BPM.

  make_project.py OUT.mmp                        the tone alone
  make_project.py OUT.mmp DLL HOST PORT          the tone through the plug-in DLL,
                                                 inserted in the track's effect
                                                 chain; the plug-in's settings
                                                 chunk names the slave
"""
import base64
import sys
from xml.sax.saxutils import quoteattr

ENVELOPE = ('lspd_denominator="4" sustain="0.5" pdel="0" userwavefile="" dec="0.5" lamt="0" latt="0" '
            'rel="0.1" amt="0" x100="0" att="0" lpdel="0" hold="0.5" lspd_syncmode="0" lshp="0" '
            'lspd="0.1" ctlenvamt="0" lspd_numerator="4"')


def effect_chain(dll, host, port):
    if dll is None:
        return '<fxchain numofeffects="0" enabled="0"/>'
    # The plug-in's own chunk text: no dialog, synchronous, 32-bit float.
    text = "Host=%s\nPort=%d\nSynch=1\nCfgDlg=0\nTrmSlave=0\nAudioPrec=4\n" % (host, port)
    chunk = base64.b64encode(text.encode("ascii") + b"\0").decode("ascii")
    return ('<fxchain numofeffects="1" enabled="1">\n'
            '            <effect autoquit="0" gate="0" autoquit_denominator="4" wet="1" name="vsteffect" on="1"'
            ' autoquit_numerator="4" syncmode="0">\n'
            '              <vsteffectcontrols plugin=%s guivisible="0" numparams="0" chunk="%s"/>\n'
            '              <key><attribute name="file" value=%s/></key>\n'
            '            </effect>\n'
            '          </fxchain>' % (quoteattr(dll), chunk, quoteattr(dll)))


def project(chain):
    return '''<?xml version="1.0"?>
<!DOCTYPE lmms-project>
<lmms-project version="1.0" creator="LMMS" creatorversion="1.2.2" type="song">
  <head timesig_numerator="4" mastervol="100" timesig_denominator="4" bpm="120" masterpitch="0"/>
  <song>
    <trackcontainer width="600" x="5" y="5" maximized="0" height="300" visible="1" type="song" minimized="0">
      <track muted="0" type="0" name="tone" solo="0">
        <instrumenttrack pan="0" fxch="0" usemasterpitch="1" pitchrange="1" pitch="0" basenote="57" vol="100">
          <instrument name="tripleoscillator">
            <tripleoscillator vol0="50" vol1="0" vol2="0" wavetype0="0" wavetype1="0" wavetype2="0"
              coarse0="0" coarse1="0" coarse2="0" finel0="0" finel1="0" finel2="0" finer0="0" finer1="0"
              finer2="0" pan0="0" pan1="0" pan2="0" phoffset0="0" phoffset1="0" phoffset2="0"
              stphdetun0="0" stphdetun1="0" stphdetun2="0" userwavefile0="" userwavefile1=""
              userwavefile2="" modalgo1="2" modalgo2="2" modalgo3="2"/>
          </instrument>
          <eldata fres="0.5" ftype="0" fcut="14000" fwet="0">
            <elvol %(env)s/>
            <elcut %(env)s/>
            <elres %(env)s/>
          </eldata>
          <chordcreator chord="0" chordrange="1" chord-enabled="0"/>
          <arpeggiator arptime="100" arprange="1" arpskip="0" arptime_denominator="4" arptime_syncmode="0"
            arpmode="0" arpcycle="0" arp-enabled="0" arp="0" arptime_numerator="4" arpdir="0" arpmiss="0"
            arpgate="100"/>
          <midiport inputcontroller="0" fixedoutputvelocity="-1" inputchannel="0" outputcontroller="0"
            writable="0" outputchannel="1" fixedinputvelocity="-1" fixedoutputnote="-1" outputprogram="1"
            basevelocity="63" readable="0"/>
          %(chain)s
        </instrumenttrack>
        <pattern steps="16" muted="0" type="1" name="tone" pos="0" len="384">
          <note len="384" key="57" vol="100" pos="0" pan="0"/>
        </pattern>
      </track>
    </trackcontainer>
    <fxmixer>
      <fxchannel muted="0" num="0" name="Master" volume="1" soloed="0">
        <fxchain enabled="0" numofeffects="0"/>
      </fxchannel>
    </fxmixer>
  </song>
</lmms-project>
''' % {"env": ENVELOPE, "chain": chain}


def main(argv):
    if len(argv) == 2:
        chain = effect_chain(None, None, None)
    elif len(argv) == 5:
        chain = effect_chain(argv[2], argv[3], int(argv[4]))
    else:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "w", encoding="utf-8") as f:
        f.write(project(chain))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
