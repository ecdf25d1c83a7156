function peak = peak_in_force (caller, image, peak)
%PEAK_IN_FORCE  The peak value a PSNR of IMAGE is computed for.
%   PEAK = PEAK_IN_FORCE (CALLER, IMAGE) is the largest value of IMAGE's
%   class: intmax for integer classes (255 for uint8, 65535 for uint16), 1
%   for double, single and logical images.
%   PEAK = PEAK_IN_FORCE (CALLER, IMAGE, PEAK) checks the PEAK given.
%
%   Either way, when IMAGE holds values above the peak the PSNR is measured
%   against a scale the image does not have (a double image of values 0 to
%   255 with peak 1 asks for an error 65025 times smaller): a warning with
%   the identifier TILEVISTA:peakExceeded says so. CALLER names the public
%   function in the messages. A PEAK that is not a positive finite scalar
%   raises TILEVISTA:peak. With IMAGE empty only PEAK is checked.
%
%   Every public function that calls this one lists both identifiers in its
%   help.

  defaulted = nargin < 3;
  if defaulted
    if isinteger (image)
      peak = double (intmax (class (image)));
    else
      peak = 1;
    end
  elseif ~isnumeric (peak) || ~isscalar (peak) || ~isreal (peak) || ~(peak > 0) || ~isfinite (peak)
    error ('TILEVISTA:peak', '%s: PEAK must be a positive finite scalar', caller);
  end
  if ~(isnumeric (image) || islogical (image)) || isempty (image)
    return;
  end
  top = max (real (double (image(:))));
  if ~(top > peak)
    return;
  end
  if defaulted
    why = sprintf ('the peak %g in force (the default for %s images); pass the largest value of its scale as PEAK, e.g. 255 for values from 0 to 255', ...
                   peak, class (image));
  else
    why = sprintf ('PEAK = %g; the PSNR is measured on the wrong scale', double (peak));
  end
  warning ('TILEVISTA:peakExceeded', '%s: IMAGE holds values up to %g, above %s', caller, top, why);
end
